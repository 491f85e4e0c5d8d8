#!/bin/sh
# The built library: its TqVersion section is not loaded and holds one line
# "<a.b.c.d> MM/DD/YY HH:MM:SS\n"; it exports exactly the product's names.
set -u
LIB=$1
VERSION=$2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Section header: name, then flags.  "A" (alloc) must be absent.
flags=$(readelf -SW "$LIB" | awk '$0 ~ / TqVersion / { for (i = 1; i <= NF; i++) if ($i == "TqVersion") { print $(i + 6); exit } }')
if [ -z "$(readelf -SW "$LIB" | grep ' TqVersion ')" ]; then
  fail "no TqVersion section"
else
  case "$flags" in *A*) fail "TqVersion is loaded (flags $flags)" ;; esac
fi

# The section's bytes, exactly.
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
objcopy --dump-section TqVersion="$tmp" "$LIB" "$tmp.out" || fail "cannot read TqVersion"
rm -f "$tmp.out"
line=$(cat "$tmp")
if ! printf '%s' "$line" | grep -Eq "^$(echo "$VERSION" | sed 's/\./\\./g') [01][0-9]/[0-3][0-9]/[0-9]{2} [0-2][0-9]:[0-5][0-9]:[0-5][0-9]$"; then
  fail "TqVersion holds '$line'"
fi
if [ "$(tail -c 1 "$tmp" | od -An -c | tr -d ' ')" != '\n' ]; then fail "TqVersion does not end in a newline"; fi
if [ "$(wc -l < "$tmp")" -ne 1 ]; then fail "TqVersion holds more than one line"; fi

# Exports: the plain C names, and C++ names only of the product's classes and
# the controller namespace.
exports=$(nm -D --defined-only "$LIB" | awk '{ print $3 }' | c++filt)
settings='setRcgProperties setRcgCPUWeight setRcgCPUBurst setRcgCPUs setRcgMemoryMax setRcgMemoryHigh setRcgSwapMax setRcgPidsMax'
for name in createRcgGroup deleteRcgGroup setRcgCPUShare assignPidsTo removePidsFrom checkRcgEnable rcgMgrHandler rcgMgrReapplyCaps $settings \
            'TqRcgCtrllr::Init()' 'TqRcgCtrllr::GetSysRcg(char const*, boost::shared_ptr<TqRcg>&)' \
            'TqRcgCtrllr::GetNewRcg(char const*, boost::shared_ptr<TqRcg>&)' 'TqRcgCtrllr::DeleteRcg(char const*)' \
            'TqRcgCtrllr::linuxRcg::linuxRcg(char const*, bool, CQiError&)' \
            'TqRcgCtrllr::linuxRcg::setCPUConstraint(unsigned int)' \
            'TqRcgCtrllr::linuxRcg::AssignPidsTo(std::__cxx11::list<unsigned int, std::allocator<unsigned int> > const&)' \
            'TqRcgCtrllr::linuxRcg::RemovePidsFrom(std::__cxx11::list<unsigned int, std::allocator<unsigned int> > const&)'; do
  printf '%s\n' "$exports" | grep -qxF "$name" || fail "not exported: $name"
done
unexpected=$(printf '%s\n' "$exports" | grep -vE "^(createRcgGroup|deleteRcgGroup|setRcgCPUShare|assignPidsTo|removePidsFrom|checkRcgEnable|rcgMgrHandler|rcgMgrReapplyCaps|${settings// /|})\$" \
  | grep -vE '^(TqRcgCtrllr::|TqRcg::|typeinfo (name )?for (TqRcg|TqRcgCtrllr::linuxRcg)$|vtable for (TqRcg|TqRcgCtrllr::linuxRcg)$)' \
  | grep -vE '^_(init|fini)$|^$' || true)
if [ -n "$unexpected" ]; then
  fail "unexpected exports:"
  printf '  %s\n' "$unexpected"
fi

[ "$failures" -eq 0 ] && echo "library checks passed"
exit "$failures"
