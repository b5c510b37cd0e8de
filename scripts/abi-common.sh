# Shared by abi-baseline.sh and abi-check.sh: how the ABI of the two
# libraries is read: every exported symbol and the types they reach,
# without what depends on where or how the tree was compiled (paths, source
# locations, DT_NEEDED), so that a ccache build (relative paths in its debug
# information) and a fresh one read the same. No header filter: it goes by
# those paths, and would drop every type of a ccache build as private.
ABI_LIBS="liboamsdk libcorbex"
abi_dump() {  # builddir lib out
  abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --drop-undefined-syms \
        --out-file "$3" "$1/lib/$2.so.1"
}
abi_soname() {  # abi file or library -> soname
  case $1 in
    *.abi) sed -n "s/.*soname='\([^']*\)'.*/\1/p" "$1" | head -n 1 ;;
    *) readelf -d "$1" | sed -n 's/.*Library soname: \[\(.*\)\].*/\1/p' ;;
  esac
}
