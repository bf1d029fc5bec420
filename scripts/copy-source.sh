# Sourced by the scripts that build a copy of the project (the reproducible
# build check, the test of the README's kit commands).
#   copy_source <source-dir> <destination>
# Copies the files git tracks, and new ones it does not ignore, as they are in
# the working tree: what a clean checkout of the commit would hold.
copy_source() {
    mkdir -p "$2"
    git -C "$1" ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            [[ -f $1/$file ]] && printf '%s\0' "$file"
        done |
        tar -C "$1" --null -T - -cf - | tar -C "$2" -xf -
}
