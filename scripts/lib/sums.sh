# SHA256SUMS beside the deliverables: every .deb, setup.exe, .msi, .zip and bill of materials
# (.cdx.json) of the folder,
# written again whenever one of them is made, so that it names exactly what lies there.
# `sha256sum -c SHA256SUMS` in the folder checks them all.
kp_write_sums() {
  (
    cd "$1"
    shopt -s nullglob
    files=(*.deb *.exe *.msi *.zip *.cdx.json)
    if [ ${#files[@]} -eq 0 ]; then rm -f SHA256SUMS; exit 0; fi
    sha256sum -- "${files[@]}" >SHA256SUMS.new
    mv SHA256SUMS.new SHA256SUMS
  )
}
