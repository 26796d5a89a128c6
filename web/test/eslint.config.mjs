// eslint.config.mjs - lint of the page's JavaScript (web/*.js) and of its
// test scripts (web/test/*.mjs): ESLint's recommended rules, run from web/
// by .ci/web.sh: test/node_modules/.bin/eslint --config test/eslint.config.mjs .
import js from '@eslint/js';
import globals from 'globals';

export default [
  { ignores: ['test/node_modules/**'] },
  js.configs.recommended,
  {
    files: ['*.js'],
    languageOptions: { sourceType: 'script', globals: { ...globals.browser } },
  },
  {
    files: ['worker.js'],
    languageOptions: { globals: { ...globals.worker } },
  },
  {
    files: ['sw.js'],
    languageOptions: { globals: { ...globals.serviceworker } },
  },
  {
    // Node scripts; what they hand to page.evaluate runs in the page.
    files: ['test/*.mjs'],
    languageOptions: { sourceType: 'module', globals: { ...globals.node, ...globals.browser } },
  },
  {
    rules: {
      'no-unused-vars': ['error', { args: 'after-used', caughtErrors: 'none' }],
      eqeqeq: 'error',
      'no-shadow': 'error',
      'prefer-const': 'error',
      'no-var': 'error',
    },
  },
];
