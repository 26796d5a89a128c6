// options.mjs - the "--name value" command-line options of the web test
// scripts, as an object ({ tool: '...', site: '...' }).
export function commandOptions(argv = process.argv.slice(2)) {
  return Object.fromEntries(argv.reduce((pairs, a, i, all) => {
    if (a.startsWith('--')) pairs.push([a.slice(2), all[i + 1]]);
    return pairs;
  }, []));
}
