#!/usr/bin/env bash
# run.sh's package step on a machine that lacks a package, with a fake
# apt-get: it succeeds whether or not a service policy was already there,
# leaves an existing policy alone, removes only the one it wrote, and says
# what failed when apt-get fails. A package of another architecture
# (wine32:i386) has that architecture added once, before the lists are read.
set -u
RUN_SH=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/bin"
cat >"$tmp/bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$FAKE_LOG"
case " $* " in
  *" update "*)
    if [ -n "${FAKE_UPDATE_FAIL:-}" ]; then
      echo "E: Failed to fetch http://mirror/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi ;;
  *" install "*)
    [ -e "$KESTRUM_POLICY_RC" ] || echo "no policy while installing" >>"$FAKE_LOG"
    # With a suite's lists missing, only an install that leaves that suite out resolves.
    if [ -n "${FAKE_INSTALL_NEEDS_PIN:-}" ]; then
      for arg in "$@"; do
        case "$arg" in
          Dir::Etc::Preferences=*)
            cat "${arg#*=}" >>"$FAKE_LOG"
            grep -qx 'Pin: release n=bookworm-security' "${arg#*=}" && exit 0 ;;
        esac
      done
      exit 100
    fi
    exit "${FAKE_INSTALL_STATUS:-0}" ;;
esac
exit 0
FAKE
# dpkg's foreign architectures live in a file of the test's.
cat >"$tmp/bin/dpkg" <<'FAKE'
#!/bin/sh
case "$1" in
  --print-foreign-architectures) cat "$FAKE_ARCHES" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE_ARCHES"; echo "dpkg --add-architecture $2" >>"$FAKE_LOG" ;;
  *) exit 2 ;;
esac
FAKE
printf '#!/bin/sh\nexec "$@"\n' >"$tmp/bin/sudo"
chmod +x "$tmp/bin/apt-get" "$tmp/bin/sudo" "$tmp/bin/dpkg"

passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what" >&2; fi
}
# step [extra env...]: runs the package step; sets status and err.
step() {
  : >"$tmp/apt.log"
  env PATH="$tmp/bin:$PATH" FAKE_LOG="$tmp/apt.log" FAKE_ARCHES="$tmp/arches" KESTRUM_POLICY_RC="$tmp/policy-rc.d" \
    KESTRUM_PACKAGES="bash kestrum-no-such-package" "$@" "$RUN_SH" packages >"$tmp/out" 2>"$tmp/err"
  status=$?
  err=$(cat "$tmp/err")
}

# No policy before: one is written for the install and removed after it.
rm -f "$tmp/policy-rc.d"
step
check "first run without a policy exits 0 (status $status: $err)" test "$status" -eq 0
check "apt-get installed the missing package" grep -q "install .*kestrum-no-such-package" "$tmp/apt.log"
check "bash, already installed, was not asked for" sh -c "! grep -q 'install.* bash' '$tmp/apt.log'"
check "a policy was in place while installing" sh -c "! grep -q 'no policy' '$tmp/apt.log'"
check "the policy it wrote is gone" test ! -e "$tmp/policy-rc.d"

# A policy of the machine's own (as in container images): kept as it was.
printf '#!/bin/sh\nexit 0\n' >"$tmp/policy-rc.d"
step
check "first run with an existing policy exits 0 (status $status: $err)" test "$status" -eq 0
check "the existing policy is untouched" grep -q 'exit 0' "$tmp/policy-rc.d"

# apt-get fails: a non-zero exit that names what could not be installed.
rm -f "$tmp/policy-rc.d"
step FAKE_INSTALL_STATUS=100
check "a failed install fails the step" test "$status" -ne 0
check "and says what could not be installed ($err)" grep -q "could not install: kestrum-no-such-package" "$tmp/err"
check "the policy it wrote is gone after a failure too" test ! -e "$tmp/policy-rc.d"

# Nothing missing: apt-get is not run at all.
: >"$tmp/apt.log"
env PATH="$tmp/bin:$PATH" FAKE_LOG="$tmp/apt.log" KESTRUM_POLICY_RC="$tmp/policy-rc.d" KESTRUM_PACKAGES="bash" \
  "$RUN_SH" packages >/dev/null 2>&1
check "nothing missing exits 0" test $? -eq 0
check "nothing missing runs no apt-get" test ! -s "$tmp/apt.log"

# A package of another architecture: the architecture comes first, once.
rm -f "$tmp/arches"
step KESTRUM_PACKAGES="bash kestrum-no-such-package:i386"
check "a foreign package's step exits 0 (status $status: $err)" test "$status" -eq 0
check "the architecture was added before the lists were read" \
  sh -c "head -1 '$tmp/apt.log' | grep -qx 'dpkg --add-architecture i386'"
check "and the package asked for with it" grep -q "install .*kestrum-no-such-package:i386" "$tmp/apt.log"
step KESTRUM_PACKAGES="bash kestrum-no-such-package:i386"
check "a known architecture is not added again" sh -c "! grep -q 'add-architecture' '$tmp/apt.log'"

# A list that cannot be read: the step goes on, says so, and installs again
# without that suite when the first install cannot resolve.
rm -f "$tmp/policy-rc.d"
step FAKE_UPDATE_FAIL=1
check "an unreadable list alone does not fail the step (status $status: $err)" test "$status" -eq 0
check "and is told as a warning" grep -q "warning: apt-get update could not read every package list" "$tmp/err"
check "one install was enough" test "$(grep -c ' install ' "$tmp/apt.log")" -eq 1
step FAKE_UPDATE_FAIL=1 FAKE_INSTALL_NEEDS_PIN=1
check "a second install without the unread suite succeeds (status $status: $err)" test "$status" -eq 0
check "it left out that suite, and only it" sh -c "grep -x 'Pin: release n=.*' '$tmp/apt.log' | sort -u | grep -qx 'Pin: release n=bookworm-security' && [ \$(grep -c 'Pin: release' '$tmp/apt.log') -eq 1 ]"
check "the policy it wrote is gone after the second install" test ! -e "$tmp/policy-rc.d"
step FAKE_INSTALL_NEEDS_PIN=1
check "with every list read, a failed install is not tried again" test "$(grep -c ' install ' "$tmp/apt.log")" -eq 1
check "and fails the step" test "$status" -ne 0

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
