# Sourced by the build scripts: find_python313 prints the path of an x86-64
# CPython 3.13 that can make virtual environments, from PATH or pyenv's
# versions, or fails.
find_python313() {
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c 'import venv' 2>/dev/null; then
    command -v python3.13
    return
  fi
  local root candidate
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for candidate in "$root"/versions/3.13*/bin/python3.13; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  return 1
}
