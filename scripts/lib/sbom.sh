# The software bill of materials of the Windows deliverables (CycloneDX 1.5, JSON): our three
# programs, and what is linked into them: Qt (qtbase, with the Debian source revision it was
# built from), the libraries Qt bundles (their versions as the installed headers or the
# libraries themselves say), and the C and C++ runtimes of the mingw-w64 tool chain. Each
# component carries a purl and, where one is known, a CPE, for vulnerability scanners.
#
#   kp_windows_sbom QT_PREFIX VERSION OUT.json
kp_windows_sbom() {
  local qt=$1 version=$2 out=$3
  local header=$qt/include
  # "#define NAME value" in one of Qt's installed headers.
  define() { grep -rh "^#define $1 " "$header/$2" | head -1 | awk '{ print $3 }' | tr -d '"'; }
  # The one version string of the form a.b.c inside a static library.
  lib_version() {
    local found
    found=$(strings "$qt/lib/$1" | grep -E "^$2\$" | sort -u)
    [ "$(grep -c . <<<"$found")" = 1 ] || { echo "sbom: no single version in $1" >&2; return 1; }
    echo "${found%% *}"
  }
  local qt_version freetype harfbuzz libpng zlib pcre2 qt_debian gcc mingw_runtime
  qt_version=$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")/\1/p' "$qt/lib/cmake/Qt6/Qt6ConfigVersionImpl.cmake")
  freetype=$(define FREETYPE_MAJOR QtFreetype).$(define FREETYPE_MINOR QtFreetype).$(define FREETYPE_PATCH QtFreetype)
  harfbuzz=$(lib_version libQt6BundledHarfbuzz.a '[0-9]+\.[0-9]+\.[0-9]+') || return 1
  libpng=$(define PNG_LIBPNG_VER_STRING QtPng)
  zlib=$(grep -rh '^#define ZLIB_VERSION ' "$header/QtZlib" | head -1 | sed 's/^[^"]*"\([0-9.]*\).*/\1/')
  pcre2=$(lib_version libQt6BundledPcre2.a '10\.[0-9]+ [0-9]{4}-[0-9]{2}-[0-9]{2}') || return 1
  qt_debian=$(dpkg-query -W -f='${Version}' qt6-base-dev)
  gcc=$(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix)
  mingw_runtime=$(dpkg-query -W -f='${Version}' mingw-w64-x86-64-dev)
  for v in "$qt_version" "$freetype" "$harfbuzz" "$libpng" "$zlib" "$pcre2" "$qt_debian" "$gcc" \
           "$mingw_runtime"; do
    [ -n "$v" ] || { echo "sbom: a version could not be read" >&2; return 1; }
  done
  local upstream_gcc=${gcc%%-*}
  python3 - "$out" "$version" "$qt_version" "$qt_debian" "$freetype" "$harfbuzz" "$libpng" \
    "$zlib" "$pcre2" "$upstream_gcc" "$gcc" "$mingw_runtime" "${SOURCE_DATE_EPOCH:-}" <<'PY'
import json, sys, time, urllib.parse, uuid
(out, version, qt, qt_debian, freetype, harfbuzz, libpng, zlib, pcre2, gcc, gcc_debian,
 mingw, epoch) = sys.argv[1:]
def q(text):  # a version as a purl spells it ("+" is %2B)
    return urllib.parse.quote(text, safe="")
def lib(name, ver, cpe, licence, ref=None, parent=None):
    c = {"type": "library", "bom-ref": ref or name, "name": name, "version": ver,
         "purl": f"pkg:generic/{name}@{q(ver)}", "licenses": [{"license": {"id": licence}}]}
    if cpe:
        c["cpe"] = cpe
    return c
qtbase = lib("qtbase", qt, f"cpe:2.3:a:qt:qt:{qt}:*:*:*:*:*:*:*", "LGPL-3.0-only")
qtbase["purl"] = f"pkg:deb/debian/qt6-base@{q(qt_debian)}?arch=source"
qtbase["description"] = ("Qt Core, Gui, Widgets and the Windows platform plugin, linked in "
                         "statically; built from Debian's source package qt6-base " + qt_debian +
                         " with its fixes for CVE-2023-32762, CVE-2023-32763, CVE-2023-33285 "
                         "and CVE-2023-24607")
bundled = [
    lib("freetype", freetype, f"cpe:2.3:a:freetype:freetype:{freetype}:*:*:*:*:*:*:*", "FTL"),
    lib("harfbuzz", harfbuzz, f"cpe:2.3:a:harfbuzz_project:harfbuzz:{harfbuzz}:*:*:*:*:*:*:*", "MIT"),
    lib("libpng", libpng, f"cpe:2.3:a:libpng:libpng:{libpng}:*:*:*:*:*:*:*", "Libpng"),
    lib("zlib", zlib, f"cpe:2.3:a:zlib:zlib:{zlib}:*:*:*:*:*:*:*", "Zlib"),
    lib("pcre2", pcre2, f"cpe:2.3:a:pcre:pcre2:{pcre2}:*:*:*:*:*:*:*", "BSD-3-Clause"),
]
for b in bundled:
    b["description"] = "bundled with qtbase " + qt
qtbase["components"] = bundled
runtime = [
    lib("libstdc++", gcc, f"cpe:2.3:a:gnu:gcc:{gcc}:*:*:*:*:*:*:*", "GPL-3.0-with-GCC-exception"),
    lib("libgcc", gcc, f"cpe:2.3:a:gnu:gcc:{gcc}:*:*:*:*:*:*:*", "GPL-3.0-with-GCC-exception"),
    lib("mingw-w64-crt", mingw, None, "ZPL-2.1"),
    lib("winpthreads", mingw, None, "MIT"),
]
runtime[0]["purl"] = f"pkg:deb/debian/gcc-mingw-w64@{q(gcc_debian)}?arch=source"
runtime[1]["purl"] = runtime[0]["purl"]
runtime[2]["purl"] = f"pkg:deb/debian/mingw-w64@{q(mingw)}?arch=source"
runtime[3]["purl"] = runtime[2]["purl"]
for r in runtime:
    r["description"] = "C and C++ runtime of the mingw-w64 tool chain, linked in statically"
programs = []
for name in ("kpnox-koder.exe", "kpr50-sim.exe", "kpnox-cli.exe"):
    programs.append({"type": "application", "bom-ref": name, "name": name, "version": version,
                     "purl": f"pkg:generic/kpnox-koder/{name}@{version}",
                     "licenses": [{"license": {"id": "MIT"}}]})
stamp = time.gmtime(int(epoch)) if epoch else time.gmtime()
bom = {
    "bomFormat": "CycloneDX", "specVersion": "1.5", "version": 1,
    # The same deliverables give the same serial number.
    "serialNumber": "urn:uuid:" + str(uuid.uuid5(uuid.NAMESPACE_URL, "kpnox-koder-windows-" + version)),
    "metadata": {
        "timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", stamp),
        "component": {"type": "application", "bom-ref": "kpnox-koder", "name": "KpNOX Koder",
                      "version": version, "supplier": {"name": "The KpNOX Koder authors"},
                      "licenses": [{"license": {"id": "MIT"}}]},
    },
    "components": programs + [qtbase] + runtime,
    "dependencies": [
        {"ref": "kpnox-koder", "dependsOn": [p["bom-ref"] for p in programs]},
        {"ref": "kpnox-koder.exe", "dependsOn": ["qtbase"] + [r["bom-ref"] for r in runtime]},
        {"ref": "kpr50-sim.exe", "dependsOn": ["qtbase"] + [r["bom-ref"] for r in runtime]},
        {"ref": "kpnox-cli.exe", "dependsOn": [r["bom-ref"] for r in runtime]},
        {"ref": "qtbase", "dependsOn": [b["bom-ref"] for b in bundled]},
    ],
}
with open(out, "w", encoding="utf-8") as f:
    json.dump(bom, f, indent=2, ensure_ascii=False)
    f.write("\n")
PY
}
