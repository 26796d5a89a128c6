#!/usr/bin/env bash
# Builds the code snippets of the README, the library page and the
# integration guide, so that the documentation cannot drift from the API, and
# checks that every relative link and picture of the Markdown pages resolves
# (a file, and a heading when a link names one). A fenced block whose info
# string is "c compile" or "cpp compile" is one complete source file: it is
# compiled with warnings as errors (C99 or C++17); one with a main function
# is linked against the module built by the default preset and run (it must
# exit with 0), one without is compiled only (unused static functions
# allowed: such a block shows a piece of a program).
set -euo pipefail
cd "$(dirname "$0")/.."
docs=(README.md docs/library.md docs/integration.md)

# Relative links and pictures of README.md, docs/*.md, CHANGELOG.md and
# CONTRIBUTING.md, outside code blocks and code spans; headings by GitHub's
# anchors.
python3 - <<'PY'
import glob, os, re, sys
def slug(heading):
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
def lines(doc):
    inside = False
    for n, line in enumerate(open(doc, encoding="utf-8"), 1):
        if line.startswith("```"):
            inside = not inside
        elif not inside:
            yield n, line
def anchors(doc):
    return {slug(m.group(1)) for _, line in lines(doc) for m in [re.match(r"#+\s+(.*)", line)] if m}
bad = 0
for doc in ["README.md", "CHANGELOG.md", "CONTRIBUTING.md"] + sorted(glob.glob("docs/*.md")):
    for n, line in lines(doc):
        for target in re.findall(r"\]\(([^)\s]+)\)", re.sub(r"`[^`]*`", "", line)):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            full = os.path.normpath(os.path.join(os.path.dirname(doc), path)) if path else doc
            if not os.path.exists(full):
                print(f"snippets: {doc}:{n}: {target} does not exist")
                bad += 1
            elif anchor and full.endswith(".md") and anchor not in anchors(full):
                print(f"snippets: {doc}:{n}: {target} names no heading there")
                bad += 1
sys.exit(1 if bad else 0)
PY
echo "snippets: every relative link resolves"
lib=build/default/polarmosaic/libpolarmosaic.a
host_lib=build/default/host/libpolarmosaic_host.a
if [ ! -f "$lib" ] || [ ! -f "$host_lib" ]; then
  cmake --preset default >/dev/null
  cmake --build --preset default --target polarmosaic polarmosaic_host >/dev/null
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes each marked block to $work/<doc>-<n>.<c|cpp>, one per line of output.
extract() {
  awk -v out="$work" -v doc="$(basename "$1" .md)" '
    /^```(c|cpp) compile *$/ { lang = ($0 ~ /^```cpp/) ? "cpp" : "c"; n++;
                               file = sprintf("%s/%s-%d.%s", out, doc, n, lang);
                               printf "" > file; inside = 1; next }
    /^```/ && inside { inside = 0; close(file); print file; next }
    inside { print >> file }
  ' "$1"
}

count=0
for doc in "${docs[@]}"; do
  while read -r src; do
    [ -n "$src" ] || continue
    count=$((count + 1))
    bin=${src%.*}
    if [[ $src == *.cpp ]]; then
      compile=(c++ -std=c++17 -Wall -Wextra -Werror -Ipolarmosaic/include -Ibuild/default/host/include)
    else
      compile=(cc -std=c99 -Wall -Wextra -Werror -Ipolarmosaic/include)
    fi
    if grep -q 'int main' "$src"; then
      link=(-o "$bin" "$src")
      [[ $src == *.cpp ]] && link+=("$host_lib")
      link+=("$lib" -lm -lpthread)
    else
      link=(-Wno-unused-function -c -o "$bin.o" "$src")
    fi
    if ! "${compile[@]}" "${link[@]}" 2>"$bin.log"; then
      echo "snippets: $doc block $(basename "$src") does not build:"
      cat "$bin.log"
      nl -ba "$src" | head -80
      exit 1
    fi
    if grep -q 'int main' "$src"; then
      "$bin" >"$bin.out" || { echo "snippets: $doc block $(basename "$src") exits with $?"; cat "$bin.out"; exit 1; }
    fi
    echo "snippets: ok $doc $(basename "$src")"
  done < <(extract "$doc")
done
[ "$count" -gt 0 ] || { echo "snippets: no block marked for compilation in ${docs[*]}"; exit 1; }
echo "snippets: $count blocks built"
