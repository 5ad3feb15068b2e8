#!/bin/sh
# Fails when a shared library exports a name that is not the project's own: a C++ name outside
# the project's classes and namespaces, a C name without the crash reporter's prefixes, or
# another library's code (the standard library's or the JSON library's templates). An
# application, or a plug-in it opens later, would bind to any such name instead of its own.
# Prints every offending name.
# Usage: ExportedNames.sh <nm> <c++filt> <shared library>...
nm=$1
cxxfilt=$2
shift 2
status=0
for library in "$@"; do
    if ! names=$("$nm" -D --defined-only "$library" | awk 'NF { print $NF }'); then
        echo "$nm could not read $library"
        exit 1
    fi
    if [ -z "$names" ]; then
        echo "$library exports nothing"
        status=1
        continue
    fi
    c_names=$(printf '%s\n' "$names" | grep -v '^_Z' |
        grep -Ev '^(kocrash_|koframe_|kocr_|ko_|KOCrash)')
    cxx_names=$(printf '%s\n' "$names" | grep '^_Z' | "$cxxfilt" |
        sed -E 's/^(typeinfo name for|typeinfo for|vtable for|VTT for|construction vtable for|non-virtual thunk to|virtual thunk to|guard variable for) //' |
        grep -Ev '^(platform|davaror|kocrash)::|^(DavaRor|KO)[A-Za-z0-9_]*(::|<|\(|$)')
    offending=$(printf '%s\n%s\n' "$c_names" "$cxx_names" | grep -v '^$')
    if [ -n "$offending" ]; then
        echo "$library exports $(printf '%s\n' "$offending" | wc -l) names that are not the project's own:"
        printf '%s\n' "$offending"
        status=1
    fi
done
exit $status
