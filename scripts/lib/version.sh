# shellcheck shell=bash
# Sourced by the scripts: kp_version prints the version, project(VERSION) of the root
# CMakeLists.txt, the one place it is written. Run from the repository's root.

kp_version() {
  sed -n 's/^project([^)]*VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt | head -1
}
