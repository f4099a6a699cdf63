# Sourced by the scripts that hand paths to Windows programs.
#   win PATH   the Windows form of a Unix path
# Every Wine prefix maps drive Z: to the Unix root, so the form is written
# out here rather than asked of winepath, which can come back empty while
# the Wine server is busy (an empty working directory or fixture folder then
# fails the program it is given to).
win() {
  local path
  path=$(realpath -m "$1")
  printf 'Z:%s' "${path//\//\\}"
}
