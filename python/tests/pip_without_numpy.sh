#!/bin/sh
# pip under an interpreter that lacks numpy stops at once, with one line that names what is
# missing and which Python to use. The interpreter is a virtual environment of Debian's Python
# without its site packages, given only pip and setuptools.
set -eu
python=$1
source=$2
work=$3
rm -rf "$work"
mkdir -p "$work/path"
"$python" -m venv --without-pip "$work/venv"
for package in pip setuptools _distutils_hack pkg_resources; do
  found=$("$python" -c "import importlib.util as u, os; s = u.find_spec('$package'); print(os.path.dirname(s.origin) if s and s.origin and s.origin.endswith('__init__.py') else '')")
  [ -n "$found" ] && ln -s "$found" "$work/path/$package"
done
cd "$source"
if PYTHONPATH="$work/path" "$work/venv/bin/python" -m pip install -q --no-build-isolation --no-deps --no-index \
  --target "$work/target" . > "$work/out.txt" 2>&1; then
  echo "pip installed without numpy"; exit 1
fi
cat "$work/out.txt"
lines=$(grep -c 'has no numpy' "$work/out.txt" || true)
[ "$lines" -eq 1 ] || { echo "expected one line naming numpy"; exit 1; }
grep -q '1 lines of output' "$work/out.txt" || { echo "setup.py said more than one line"; exit 1; }
[ ! -e "$work/target/tessera" ] || { echo "something was installed"; exit 1; }
echo "pip stopped with: $(grep 'has no numpy' "$work/out.txt" | sed 's/^ *//')"
