# shellcheck shell=bash
# Sourced by the scripts: kp_version prints the version, project(VERSION) of the root
# CMakeLists.txt, the one place it is written. Run from the repository's root.

kp_version() {
  sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt | head -1
}

# kp_source_date prints the time the packages give their files: SOURCE_DATE_EPOCH when set,
# else the last commit's time, else CMakeLists.txt's (a tree without its history). Two builds
# of one commit, anywhere, get the same.
kp_source_date() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  else
    git log -1 --format=%ct 2>/dev/null || stat -c %Y CMakeLists.txt
  fi
}
