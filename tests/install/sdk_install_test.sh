#!/usr/bin/env bash
# Installs the build into a temporary prefix and goes through the README's
# "Write your first plugin" with the example in tools/sdk-example: builds the
# plugin and its harness test out of tree with pkg-config and with CMake, runs
# the test, inspects the plugin, and runs it under the installed core; then
# the SDK-only build, native and for ARM under qemu-arm.
#   sdk_install_test.sh <build dir> <source dir> [extra compiler flags]
set -euo pipefail
build=$1 source=$2 flags=${3:-}
work=$(mktemp -d)
trap 'kill "${supervisor:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/dvrplugin.h include/dvrmedia.h include/dvrharness.h lib/pkgconfig/dvrplugin.pc bin/dvrinspect \
         bin/devsupervisor bin/dvrplugin-new share/dvrplugin/example/hello.c; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done
[ "$(readlink -f "$prefix/bin/dvrcore")" = "$(readlink -f "$prefix/lib/dvrcore/dvrcore")" ] || fail "bin/dvrcore link"

export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
plugindir=$(pkg-config --variable=plugindir dvrplugin)
[ "$(readlink -f "$plugindir")" = "$(readlink -f "$prefix/lib/dvrcore/plugins")" ] || fail "plugindir is $plugindir"

# With pkg-config.
mkdir "$work/by-pkg-config" && cd "$work/by-pkg-config"
cp "$source"/tools/sdk-example/hello.c "$source"/tools/sdk-example/hello_test.c .
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror $flags -shared -fPIC -fvisibility=hidden $(pkg-config --cflags dvrplugin) \
  -o hello.so hello.c
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror $flags hello_test.c $(pkg-config --cflags --libs dvrharness) -o hello_test
./hello_test ./hello.so || fail "harness test (pkg-config build)"
# As the README types them: bare file names, the inspector found on PATH.
./hello_test hello.so >/dev/null || fail "harness test given a bare file name"
PATH="$prefix/bin:$PATH" dvrinspect hello.so >"$work/inspect.txt" || { cat "$work/inspect.txt"; fail "dvrinspect hello.so"; }

# With CMake.
mkdir "$work/src" && cp "$source"/tools/sdk-example/* "$work/src/"
cmake -S "$work/src" -B "$work/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_MODULE_LINKER_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/by-cmake" >/dev/null
"$work/by-cmake/hello_test" "$work/by-cmake/hello.so" || fail "harness test (CMake build)"

# Hidden visibility without the export macro on the definitions: the
# header's declarations still export the entry points.
sed 's/^DVR_PLUGIN_EXPORT //' hello.c >unmarked.c
# shellcheck disable=SC2086
cc -std=c99 -Wall -Wextra -Werror $flags -shared -fPIC -fvisibility=hidden $(pkg-config --cflags dvrplugin) \
  -o unmarked.so unmarked.c

# Every build is a plugin the core accepts.
for library in "$work/by-pkg-config/hello.so" "$work/by-pkg-config/unmarked.so" "$work/by-cmake/hello.so"; do
  "$prefix/bin/dvrinspect" "$library" >"$work/inspect.txt" || { cat "$work/inspect.txt"; fail "dvrinspect $library"; }
  grep -q "verdict: accepted" "$work/inspect.txt" || fail "no verdict for $library"
done

# The scaffold: each kind of plugin it writes builds and passes its own test.
mkdir "$work/scaffold" && cd "$work/scaffold"
for options in "" "--subscribe video --retain" "--subscribe log,status --supervisor" \
               "--subscribe video --retain --supervisor --worker --module-index 200"; do
  name=made$((${count:-0} + 1)) count=$((${count:-0} + 1))
  # shellcheck disable=SC2086
  "$prefix/bin/dvrplugin-new" $options $name >/dev/null || fail "dvrplugin-new $options"
  cmake -S $name -B $name/build -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build $name/build >"$work/scaffold.log" 2>&1 || { cat "$work/scaffold.log"; fail "scaffold $options: build"; }
  ctest --test-dir $name/build --output-on-failure >"$work/scaffold.log" 2>&1 ||
    { cat "$work/scaffold.log"; fail "scaffold $options: its harness test"; }
done

# Under the installed core, with the demo camera sending frames, started as
# the README does: the core found on PATH.
cmake --install "$work/scaffold/made4/build" >/dev/null
cmake --install "$work/by-cmake" >/dev/null
[ -f "$plugindir/hello.so" ] || fail "cmake --install did not put hello.so into $plugindir"
mkdir "$work/run" && cd "$work/run"
mkfifo input
PATH="$prefix/bin:$PATH" devsupervisor dvrcore <input >output 2>&1 &
supervisor=$!
exec 3>input
# Frames have flowed once the recorder, served after hello, has written one.
for _ in $(seq 300); do
  [ -s recording.bin ] && break
  sleep 0.1
done
[ -s recording.bin ] || { cat output; fail "no frames recorded"; }
echo stop >&3
wait "$supervisor" || { cat output; fail "devsupervisor exit status"; }
supervisor=
grep -q "hello: open" output || { cat output; fail "hello did not open"; }
grep -Eq "hello: [1-9][0-9]* frames" output || { cat output; fail "hello counted no frames"; }
grep -Eq "made4: [1-9][0-9]* events" output || { cat output; fail "the scaffolded plugin received no frames"; }

# The SDK alone (-DDVR_SDK_ONLY=ON), with Boost and TinyXML out of reach: built
# and installed, then the installed example and its harness test built
# against it and run by ctest; cross-built for 32-bit ARM (the installed
# toolchain file) and run under qemu-arm where both are present.
sdk_only() { # name [toolchain file, for a cross build]
  local name=$1 dir=$work/$1 cross=()
  [ -z "${2:-}" ] || cross=(--toolchain "$2")
  mkdir -p "$work/no-pkg-config"
  { PKG_CONFIG_LIBDIR=$work/no-pkg-config cmake -S "$source" -B "$dir/build" -G Ninja -DDVR_SDK_ONLY=ON \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON "${cross[@]}" &&
    cmake --build "$dir/build" -j 2 && cmake --install "$dir/build" --prefix "$dir/prefix"; } >"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log"; fail "$name: SDK-only build"; }
  for f in include/dvrplugin.h include/dvrmedia.h include/dvrharness.h bin/dvrinspect lib/cmake/dvrplugin \
           lib/pkgconfig/dvrharness.pc share/dvrplugin/example/hello_test.c share/dvrplugin/toolchain-armhf.cmake; do
    [ -e "$dir/prefix/$f" ] || fail "$name: $f not installed"
  done
  [ ! -e "$dir/prefix/bin/dvrcore" ] || fail "$name: the core is part of the SDK-only install"
  [ -z "${2:-}" ] || cross=(--toolchain "$dir/prefix/share/dvrplugin/toolchain-armhf.cmake")
  { cmake -S "$dir/prefix/share/dvrplugin/example" -B "$dir/example" -G Ninja -DCMAKE_PREFIX_PATH="$dir/prefix" \
      "${cross[@]}" && cmake --build "$dir/example" && ctest --test-dir "$dir/example" --output-on-failure; } \
    >"$work/$name.log" 2>&1 || { cat "$work/$name.log"; fail "$name: the example's harness test against it"; }
}
# The SDK-only builds compile none of the core, so a sanitizer stage (extra
# flags) would only repeat them: they run in the plain stage.
if [ -n "$flags" ]; then
  echo "sdk install: 1 passed, 0 failed (the SDK-only builds run in the plain stage)"
  exit 0
fi
sdk_only sdk-native
if command -v arm-linux-gnueabihf-g++ >/dev/null && command -v qemu-arm >/dev/null; then
  sdk_only sdk-armhf "$source/cmake/toolchain-armhf.cmake"
  # As the README starts them: through qemu-arm, told where the cross
  # compiler's libraries are (-L or QEMU_LD_PREFIX) when / has no ARM loader.
  cd "$work/sdk-armhf/example"
  libs=() prefix_env=()
  [ -e /lib/ld-linux-armhf.so.3 ] || libs=(-L /usr/arm-linux-gnueabihf) prefix_env=(QEMU_LD_PREFIX=/usr/arm-linux-gnueabihf)
  qemu-arm "${libs[@]}" ./hello_test hello.so >/dev/null 2>&1 || fail "sdk-armhf: hello_test under qemu-arm"
  env "${prefix_env[@]}" qemu-arm "$work/sdk-armhf/prefix/bin/dvrinspect" hello.so | grep -q "verdict: accepted" ||
    fail "sdk-armhf: dvrinspect under qemu-arm"
else
  echo "sdk install: the ARM SDK-only build skipped: arm-linux-gnueabihf-g++ or qemu-arm is missing"
fi
echo "sdk install: 1 passed, 0 failed"
