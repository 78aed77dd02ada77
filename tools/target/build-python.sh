# Sourced by tools/target/build.sh: steps 2-4, the interpreter for the
# target. The interpreter's folder is keyed by this file (tools/target/lib.sh),
# so only a change here (or in the x86-64 build script) builds it anew.

# Debian's packages for the target's architecture and source packages of one
# release (the argument), with a package list of our own from the system's
# mirror (one for each architecture).
apt_private() {
    local suite="$1" uri
    local apt="$target_work/apt-$suite-$target_debian_arch"
    uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
    [ -n "$uri" ] || uri=$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null || true)
    [ -n "$uri" ] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources"
    printf 'Types: deb deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
        "$uri" "$suite" >"$apt/sources/debian.sources"
    apt_options=(-o APT::Architecture="$target_debian_arch" -o APT::Architectures="$target_debian_arch"
        -o APT::Sandbox::User=root
        -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache"
        -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$apt/sources")
    if [ ! -e "$apt/updated" ]; then
        logged "$apt/update.log" apt-get "${apt_options[@]}" update
        touch "$apt/updated"
    fi
}

# --- 2. musl's loader ---------------------------------------------------------
loader="$target_sysroot/usr/lib/$target_loader_name"
if [ ! -e "$loader" ]; then
    say "musl for $target_debian_arch (Debian's package)"
    # Debian 13 (trixie), whose python3.13 source the interpreter is built
    # from: its musl (1.2.5) is the one whose headers Zig brings, and the
    # first to apply the packed relative relocations (DT_RELR) that the
    # libraries in NumPy's musllinux wheels use.
    apt_private trixie
    rm -rf "$target_sysroot" "$target_work/debs"
    mkdir -p "$target_work/debs"
    (cd "$target_work/debs" && logged "$target_work/debs/download.log" apt-get "${apt_options[@]}" download \
        "musl:$target_debian_arch")
    dpkg-deb -x "$target_work"/debs/musl_*_"$target_debian_arch".deb "$target_sysroot.new"
    mv "$target_sysroot.new" "$target_sysroot"
    [ -e "$loader" ] || { echo "no $loader in Debian's musl package" >&2; exit 1; }
fi
# Every program built for the target asks for this loader, by its full path,
# so no system folder is touched.
target_ldflags="-dynamic -Wl,--dynamic-linker=$loader"

# --- 3. libffi (for ctypes) and zlib (the zlib module; hypothesis needs it) --

# Fetches Debian's source package $1 of the system's release (its upstream
# tarball has a configure script) into $2.src, removing $2, and unpacks it:
# source_dir is the folder it unpacks to.
debian_source() {
    local package="$1" into="$2.src"
    apt_private "$(. /etc/os-release && echo "$VERSION_CODENAME")"
    rm -rf "$2" "$into"
    mkdir -p "$into"
    (cd "$into" && logged "$into/source.log" apt-get "${apt_options[@]}" source --download-only "$package")
    tar -C "$into" -xf "$(ls "$into/${package}"_*.orig.tar.* | head -1)"
    source_dir=$(find "$into" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -1)
}

ffi="$target_work/libffi-$target_python_key"
if [ ! -e "$ffi/lib/libffi.a" ]; then
    say "libffi for $target_triple (Debian's source package)"
    debian_source libffi "$ffi"
    mkdir -p "$ffi.src/build"
    (cd "$ffi.src/build" && logged "$ffi.src/configure.log" "$source_dir/configure" \
        --build=x86_64-pc-linux-gnu --host="$target_triple" --prefix="$ffi" \
        --disable-shared --enable-static --with-pic --disable-docs --disable-multi-os-directory \
        --disable-exec-static-tramp \
        CC="$target_bin/cc" AR="$target_bin/ar" RANLIB="$target_bin/ranlib" CFLAGS="-O2")
    logged "$ffi.src/make.log" make -C "$ffi.src/build" -j2
    logged "$ffi.src/install.log" make -C "$ffi.src/build" install
    rm -rf "$ffi.src"
fi

zlib="$target_work/zlib-$target_python_key"
if [ ! -e "$zlib/lib/libz.a" ]; then
    say "zlib for $target_triple (Debian's source package)"
    debian_source zlib "$zlib"
    (cd "$source_dir" && CC="$target_bin/cc" AR="$target_bin/ar" RANLIB="$target_bin/ranlib" CFLAGS="-O2 -fPIC" \
        CHOST="$target_triple" logged "$zlib.src/configure.log" ./configure --static --prefix="$zlib")
    logged "$zlib.src/make.log" make -C "$source_dir" -j2 libz.a
    logged "$zlib.src/install.log" make -C "$source_dir" install
    rm -rf "$zlib.src"
fi

[ "$what" = deps ] && { say "done"; exit 0; }

# --- 4. CPython 3.13t for the target -----------------------------------------
if [ ! -x "$target_interpreter" ]; then
    if ! "$ft_python" -c 'import numpy' >/dev/null 2>&1; then
        say "the x86-64 free-threaded CPython (tools/build-free-threaded-python.sh; about 6 minutes)"
        logged "$target_work/ft-python.log" bash "$target_repo/tools/build-free-threaded-python.sh"
    fi
    if [ ! -f "$ft_build_dir/src/.ft-patched" ] || [ ! -f "$ft_build_dir/test-modules.site" ]; then
        say "the python3.13 source (tools/build-free-threaded-python.sh)"
        FT_SOURCE_ONLY=1 logged "$target_work/ft-source.log" bash "$target_repo/tools/build-free-threaded-python.sh"
    fi
    say "CPython 3.13t for $target_triple (cross-compiled; about 5 minutes on two cores)"
    build="$target_work/cpython-build-$target_python_key"
    rm -rf "$build" "$target_prefix"
    mkdir -p "$build"
    # Answers configure cannot find out without running a target program.
    # The test modules other than _testcapi are left out as in the x86-64 build.
    { printf '%s\n' ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no
      cat "$ft_build_dir/test-modules.site"; } >"$build/config.site"
    # Only libffi and zlib are offered: without a pkg-config of their own the other
    # optional modules' libraries (ssl, sqlite, zlib, ...) are not found,
    # and the host's x86-64 ones are not taken by mistake. Zig's clang
    # rejects __DATE__ (reproducible builds); CPython's build info uses it.
    # configure tells musl by a guard of its <stdarg.h>, which Zig's clang
    # replaces with its own: the preprocessor gets the guard, so that the
    # platform triplet (and the extension suffix) names $target_triple.
    # The interpreter is a position-independent executable: Zig's link-time
    # stand-in for musl's libc.so gives its data objects (environ, stdin,
    # timezone, ...) one shared address, so the copy relocations of a
    # fixed-address executable would make them one object at run time.
    (cd "$build" && CONFIG_SITE="$build/config.site" PKG_CONFIG_LIBDIR="$ffi/lib/pkgconfig" PKG_CONFIG_PATH= \
        logged "$build/configure.log" "$ft_build_dir/src/configure" \
        --build=x86_64-pc-linux-gnu --host="$target_triple" --prefix="$target_prefix" \
        --disable-gil --with-build-python="$ft_python" --without-ensurepip \
        CC="$target_bin/cc" CXX="$target_bin/c++" CPP="$target_bin/cc -E -D__DEFINED_va_list" \
        AR="$target_bin/ar" RANLIB="$target_bin/ranlib" READELF=readelf \
        OPT="-DNDEBUG -O2 -Wall" CFLAGS="-fPIE -Wno-date-time" LDFLAGS="$target_ldflags" \
        LINKFORSHARED="-pie -Xlinker -export-dynamic" \
        LIBFFI_CFLAGS="-I$ffi/include" LIBFFI_LIBS="$ffi/lib/libffi.a" \
        ZLIB_CFLAGS="-I$zlib/include" ZLIB_LIBS="$zlib/lib/libz.a")
    logged "$build/make.log" make -C "$build" -j2
    logged "$build/install.log" make -C "$build" install TEST_MODULES=no
    grep -E "^(Failed to build|The necessary bits|Following modules built successfully)" -A3 "$build/make.log" >&2 || true
    gaps=$(target_libc_gaps "$target_interpreter" "$target_prefix"/lib/python3.13t/lib-dynload/*.so)
    if [ -n "$gaps" ]; then
        echo "[target] symbols missing from the target's musl: $gaps" >&2
        exit 1
    fi
    if ! grep -q "'SOABI': 'cpython-313t-$target_triple'" "$target_prefix"/lib/python3.13t/_sysconfigdata_*.py; then
        echo "[target] the interpreter's SOABI does not name $target_triple" >&2
        exit 1
    fi
    if readelf -r "$target_interpreter" | grep -q "$target_copy_relocation"; then
        echo "[target] the interpreter has copy relocations" >&2
        exit 1
    fi
    rm -rf "$build"
fi

