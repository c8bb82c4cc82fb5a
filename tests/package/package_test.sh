#!/bin/bash
# The Debian package end to end, one step a CTest test (label "package"):
#   package_test.sh STEP BUILD_DIR SOURCE_DIR
#   build      cpack -G DEB from the build folder, into BUILD_DIR/package-test
#   contents   exactly the files it should hold, the library's SONAME and
#              exports, kelhost's RUNPATH, Depends, conffiles
#   lintian    no errors (warnings are printed)
#   install    dpkg -i
#   installed  the system user, jwgate --check on the installed example, the
#              installed programs working together, the Python module
#              imported by Debian's python3, the manual pages
#   unit       systemd-analyze verify on the installed jwgate@.service
#   remove     dpkg -r leaves nothing but the configuration; dpkg -P then
#              takes that too
# It installs and removes a package on this machine, so it needs root (CI
# runs as root, on a machine thrown away after). It fails, never skips, when
# it cannot do its job.
# (With pipefail, "producer | grep -q" fails when grep stops reading early:
# grep reads a here-string instead.)
set -euo pipefail

step=$1
build=$(cd "$2" && pwd)
source=$(cd "$3" && pwd)
out=$build/package-test
package=kelwnsrp

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

need() {
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is missing (dev.sh and .ci/run install it)"
  done
}

need_root() {
  [ "$(id -u)" -eq 0 ] || fail "this step needs root: it installs or removes the package with dpkg (CI runs as root)"
}

the_deb() {
  local debs=("$out"/*.deb)
  [ -f "${debs[0]}" ] || fail "no package in $out: the step 'build' did not run or failed"
  [ ${#debs[@]} -eq 1 ] || fail "more than one package in $out: ${debs[*]}"
  echo "${debs[0]}"
}

package_status() {
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true
}

# dpkg waits for no one: retry while another apt or dpkg holds its lock.
dpkg_locked() {
  local output
  for _ in $(seq 120); do
    if output=$(dpkg "$@" 2>&1); then
      echo "$output"
      return 0
    fi
    if ! grep -q "lock" <<<"$output"; then
      echo "$output" >&2
      return 1
    fi
    sleep 5
  done
  echo "$output" >&2
  return 1
}

# The package's files and links (not its folders), without the leading "./".
package_files() {
  dpkg-deb --fsys-tarfile "$1" | tar -tvf - | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort
}

multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

case "$step" in
  build)
    need cpack dpkg-deb dpkg-shlibdeps file
    rm -rf "$out"
    mkdir -p "$out"
    echo "cpack -G DEB --config $build/CPackConfig.cmake -B $out"
    if ! cpack -G DEB --config "$build/CPackConfig.cmake" -B "$out" >"$out/cpack.log" 2>&1; then
      cat "$out/cpack.log"
      fail "cpack failed"
    fi
    deb=$(the_deb)
    dpkg-deb --info "$deb"
    echo "built $deb"
    ;;

  contents)
    need dpkg-deb objdump nm readelf
    deb=$(the_deb)
    root=$out/contents
    rm -rf "$root"
    dpkg-deb -x "$deb" "$root"
    version=$(dpkg-deb -f "$deb" Version)
    major=${version%%.*}
    lib=usr/lib/$multiarch
    pydir=usr/lib/python3/dist-packages
    pysuffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')

    # Exactly these files: the programs, the driver and its header, kelhost's
    # host logging library, docs, examples, manual pages, the unit and the
    # example configuration. No test or fuzz program, nothing else.
    {
      echo "etc/jwgate/example.toml"
      echo "lib/systemd/system/jwgate@.service"
      echo "usr/bin/jwgate"
      echo "usr/bin/jwsim"
      echo "usr/bin/kelhost"
      echo "usr/include/kelwnsrp.h"
      echo "$lib/kelwnsrp/libteskar.so"
      echo "$lib/libkelwnsrp.so"
      echo "$lib/libkelwnsrp.so.$major"
      echo "$lib/libkelwnsrp.so.$version"
      echo "usr/share/doc/$package/README.md"
      echo "usr/share/doc/$package/changelog.gz"
      echo "usr/share/doc/$package/copyright"
      for doc in "$source"/docs/*.md "$source"/docs/*.png; do
        if [ -e "$doc" ]; then echo "usr/share/doc/$package/$(basename "$doc")"; fi
      done
      for example in "$source"/examples/*.toml "$source"/examples/*.txt; do
        echo "usr/share/doc/$package/examples/$(basename "$example")"
      done
      for program in jwgate jwsim kelhost; do echo "usr/share/man/man1/$program.1.gz"; done
      # The Python module, its type hints (also as a stub package), its pytest plugin and .dist-info.
      echo "$pydir/kelwnsrp$pysuffix"
      echo "$pydir/kelwnsrp.pyi"
      echo "$pydir/kelwnsrp-stubs/__init__.pyi"
      echo "$pydir/kelwnsrp_pytest.py"
      for info in METADATA entry_points.txt top_level.txt; do echo "$pydir/kelwnsrp-$version.dist-info/$info"; done
    } | sort >"$out/expected-files"
    package_files "$deb" >"$out/actual-files"
    if ! diff -u "$out/expected-files" "$out/actual-files"; then
      fail "the package's files differ from the list above (- expected, + in the package)"
    fi
    echo "files: as expected ($(wc -l <"$out/actual-files"))"

    # The driver: SONAME with the major version, only KelMain and
    # KelSetTrace exported, stripped.
    soname=$(objdump -p "$root/$lib/libkelwnsrp.so.$version" | awk '$1 == "SONAME" {print $2}')
    [ "$soname" = "libkelwnsrp.so.$major" ] || fail "SONAME is '$soname', not libkelwnsrp.so.$major"
    "$source/tests/hostlib/check_exports.sh" "$root/$lib/libkelwnsrp.so.$version"
    echo "driver: SONAME $soname, exports KelMain and KelSetTrace only"
    for binary in usr/bin/jwgate usr/bin/jwsim usr/bin/kelhost "$lib/libkelwnsrp.so.$version" "$pydir/kelwnsrp$pysuffix"; do
      if grep -q '\.debug_info' <<<"$(readelf -S "$root/$binary")"; then fail "$binary is not stripped"; fi
    done

    # kelhost finds its own libteskar.so in the private folder, and nothing
    # else has a search path.
    runpath=$(readelf -d "$root/usr/bin/kelhost" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
    [ "$runpath" = "\$ORIGIN/../${lib#usr/}/kelwnsrp" ] || fail "kelhost's RUNPATH is '$runpath'"
    for binary in usr/bin/jwgate usr/bin/jwsim "$lib/libkelwnsrp.so.$version"; do
      if readelf -d "$root/$binary" | grep -Eq 'RPATH|RUNPATH'; then fail "$binary has a library search path"; fi
    done
    echo "kelhost: RUNPATH $runpath"

    # Control data.
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "Depends: $depends"
    for dependency in adduser libjs-chart.js libc6 libstdc++6 libmodbus5 libmosquitto1 libprometheus-cpp-core1.0 libsqlite3-0 libsystemd0; do
      grep -qxF "$dependency" <<<"$(tr ',' '\n' <<<"$depends" | awk '{print $1}')" || fail "Depends lacks $dependency"
    done
    conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
    [ "$conffiles" = "/etc/jwgate/example.toml" ] || fail "conffiles: '$conffiles'"
    echo "conffiles: $conffiles"
    ;;

  lintian)
    need lintian
    deb=$(the_deb)
    # Errors fail; warnings are shown (docs/packaging.md says why each stays).
    echo "lintian --fail-on error --display-level '>=warning' $(basename "$deb")"
    if ! lintian --fail-on error --display-level '>=warning' "$deb" >"$out/lintian.txt" 2>&1; then
      cat "$out/lintian.txt"
      fail "lintian found errors"
    fi
    cat "$out/lintian.txt"
    echo "lintian: no errors, $(grep -c '^W: ' "$out/lintian.txt" || true) warning(s)"
    ;;

  install)
    need_root
    deb=$(the_deb)
    case "$(package_status)" in
      *" installed")
        fail "$package is installed on this machine already; this test installs and removes it: remove it first (dpkg -r $package)"
        ;;
    esac
    dpkg_locked -i "$deb"
    [ "$(package_status)" = "install ok installed" ] || fail "dpkg -i left the package as '$(package_status)'"
    echo "installed: $(dpkg-query -W -f='${Package} ${Version}' "$package")"
    ;;

  installed)
    need_root
    need man
    [ "$(package_status)" = "install ok installed" ] || fail "$package is not installed (the step 'install' failed)"
    # The system user, in dialout, without a login.
    entry=$(getent passwd jwgate) || fail "no user jwgate"
    echo "user: $entry; groups: $(id -nG jwgate)"
    grep -qw dialout <<<"$(id -nG jwgate)" || fail "jwgate is not in dialout"
    case "$entry" in *nologin | */false) ;; *) fail "jwgate can log in: $entry" ;; esac
    # Configurations (passwords, key paths) are for root and the gateway only.
    mode=$(stat -c '%a %U %G' /etc/jwgate)
    [ "$mode" = "750 root jwgate" ] || fail "/etc/jwgate is '$mode', not '750 root jwgate'"

    # The installed example passes jwgate's check, also as the service's user.
    cd /
    /usr/bin/jwgate --config /etc/jwgate/example.toml --check
    runuser -u jwgate -- /usr/bin/jwgate --config /etc/jwgate/example.toml --check >/dev/null ||
      fail "jwgate cannot check /etc/jwgate/example.toml as the user jwgate"

    # kelhost finds the installed driver, and the driver kelhost's own log.
    env -i PATH=/usr/bin:/bin kelhost info
    if env -i PATH=/usr/bin:/bin kelhost check 01MA1600 2>"$out/check.txt"; then
      fail "kelhost check 01MA1600 passed"
    fi
    cat "$out/check.txt"
    grep -q "^kelhost: [a-z]*: KELSRP: Gate address 01MA1600 not valid" "$out/check.txt" ||
      fail "kelhost did not show the driver's message through its host log"

    # The installed programs together: jwsim on a pseudo-terminal, kelhost
    # reading it, jwgate serving it on a free Modbus port until SIGTERM.
    work=$(mktemp -d)
    trap 'kill $(jobs -p) 2>/dev/null || true; wait || true; rm -rf "$work"' EXIT
    jwsim --station 01 >"$work/jwsim.txt" &
    for _ in $(seq 50); do grep -q '^port ' "$work/jwsim.txt" && break; sleep 0.1; done
    port=$(awk '/^port / {print $2}' "$work/jwsim.txt")
    [ -n "$port" ] || fail "jwsim printed no port"
    kelhost write --port "$port" --data-bits 8 01MA0100=4660
    printf '[line]\nport = "%s"\n[modbus]\nport = 0\n[[point]]\nname = "a"\naddress = "01MA0100"\ntype = "u16"\nmodbus = 0\n' \
      "$port" >"$work/line.toml"
    jwgate --config "$work/line.toml" 2>"$work/jwgate.txt" &
    gateway=$!
    for _ in $(seq 50); do grep -q 'scanning' "$work/jwgate.txt" && break; sleep 0.1; done
    kill -TERM "$gateway"
    status=0
    wait "$gateway" || status=$?
    cat "$work/jwgate.txt"
    [ "$status" -eq 0 ] || fail "jwgate ended with $status after SIGTERM"
    grep -q 'ending on SIGTERM' "$work/jwgate.txt" || fail "jwgate did not end on SIGTERM"

    # Debian's python3 imports the module with no other step, and pytest
    # finds the plugin by its entry point.
    env -i PATH=/usr/bin:/bin python3 -c "import kelwnsrp; print('python3: kelwnsrp from', kelwnsrp.__file__)"
    env -i PATH=/usr/bin:/bin python3 -c "
from importlib.metadata import entry_points
assert [e.value for e in entry_points(group='pytest11') if e.name == 'kelwnsrp_pytest'] == ['kelwnsrp_pytest']" ||
      fail "no pytest11 entry point kelwnsrp_pytest"

    # The manual pages, and the driver in the linker's cache (ldconfig trigger).
    man -w jwgate jwsim kelhost
    grep -q "libkelwnsrp\.so\.[0-9]* " <<<"$(ldconfig -p)" || fail "libkelwnsrp is not in the linker's cache"
    echo "installed programs: as expected"
    ;;

  unit)
    need systemd-analyze
    [ "$(package_status)" = "install ok installed" ] || fail "$package is not installed (the step 'install' failed)"
    unit=/lib/systemd/system/jwgate@.service
    [ -f "$unit" ] || fail "no $unit"
    # A template is verified as an instance; also checks that ExecStart's
    # program and the man page of Documentation= exist.
    echo "systemd-analyze verify $unit"
    if ! systemd-analyze verify "$unit" >"$out/verify.txt" 2>&1; then
      cat "$out/verify.txt"
      fail "systemd-analyze verify failed"
    fi
    cat "$out/verify.txt"
    if grep -i 'jwgate' "$out/verify.txt"; then fail "systemd-analyze verify has remarks on the unit"; fi
    echo "unit: verified"
    ;;

  remove)
    need_root
    deb=$(the_deb)
    [ "$(package_status)" = "install ok installed" ] || fail "$package is not installed (the step 'install' failed)"
    dpkg_locked -r "$package"
    [ "$(package_status)" = "deinstall ok config-files" ] ||
      fail "after dpkg -r the package is '$(package_status)', not only its configuration"
    # Nothing of the package stays but its conffile.
    conffiles=$(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles)
    left=""
    while read -r file; do
      path=/$file
      grep -qx "$path" <<<"$conffiles" && continue
      if [ -e "$path" ] || [ -L "$path" ]; then left="$left $path"; fi
    done < <(package_files "$deb")
    for folder in "/usr/share/doc/$package" "/usr/lib/$multiarch/kelwnsrp"; do
      [ -e "$folder" ] && left="$left $folder"
    done
    [ -z "$left" ] || fail "dpkg -r left:$left"
    while read -r conffile; do
      [ -f "$conffile" ] || fail "dpkg -r took the configuration $conffile"
    done <<<"$conffiles"
    echo "removed: only the configuration stays ($conffiles)"
    dpkg_locked -P "$package"
    [ ! -e /etc/jwgate/example.toml ] || fail "dpkg -P left /etc/jwgate/example.toml"
    echo "purged: $(package_status | tr -s ' ' || true)"
    ;;

  *)
    fail "unknown step '$step'"
    ;;
esac
