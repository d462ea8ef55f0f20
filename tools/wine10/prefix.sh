# Helpers for a script that runs Wine 10 in a prefix of its own. Sourced;
# defines functions only.

# q5_winpath PATH: the path as Windows programs in the prefix name it.
q5_winpath() { local p=$1; printf 'Z:%s' "${p//\//\\}"; }

# q5_as_root COMMAND...: on the side where Wine runs, as root (through sudo
# for a user): prefixes are made, copied and removed there.
q5_as_root() { "$Q5_CHECKOUT/tools/wine10/run.sh" "$@" </dev/null; }

# q5_prefix_from_template PREFIX LOG: a fresh prefix, copied from the booted
# template (booted first when it is not); Wine's output goes to LOG.
q5_prefix_from_template() {
  local template=$Q5_CHECKOUT/build/wine10/template
  "$Q5_CHECKOUT/tools/wine10/run.sh" "$Q5_CHECKOUT/tests/support/wine-template.sh" "$template" >>"$2" 2>&1 </dev/null &&
    q5_as_root cp -a "$template" "$1"
}
Q5_CHECKOUT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
