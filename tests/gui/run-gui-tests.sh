#!/usr/bin/env bash
# End-to-end tests of the stub under Wine in a private Xvfb display: self-extractors holding a ZIP made by `zip`,
# worked by gui_driver.exe row by row of the table below, then the rows with screenshots again at 144 DPI. Usage:
# run-gui-tests.sh X86_64_BUILD [OUTDIR]; the i686 stub (I686_BUILD_DIR) runs too where 32-bit Wine really runs.
# GUI_ONLY=REGEX runs the matching rows only.
set -uo pipefail
build=$(cd "${1:?usage: run-gui-tests.sh BUILD_DIR [OUTDIR]}" && pwd) here=$(cd "$(dirname "$0")" && pwd)
out=${2:-$build/gui-results} root=$(cd "$here/../.." && pwd) driver=$build/gui/gui_driver.exe watcher=""
work=$(mktemp -d /tmp/zarvel-gui.XXXXXX)
rm -rf "$out/shots" "$out/logs" && mkdir -p "$out/shots" "$out/logs"
source "$here/gui-env.sh"
trap 'kill $watcher 2>/dev/null; gui_env_stop; rm -rf "$work"' EXIT
gui_env_start "$work"
while sleep 0.05; do  # the driver writes KIND.ready once the window is painted, and waits for KIND.taken
  for f in "$out"/shots/*/*.ready; do [ -e "$f" ] && k=${f%.ready} && import -window root "$k.png" && mv "$f" "$k.rect" &&
    touch "$k.taken"; done
done & watcher=$!

sample=$work/sample big=$work/big
mkdir -p "$sample/sub" "$big" && cp "$driver" "$sample/record.exe" && cp "$driver" "$big/record.exe"
printf 'alpha\n' | tee "$sample/a.txt" >"$big/a.txt" && printf 'bravo bravo\n' >"$sample/sub/b.txt"
printf 'zulu\n' >"$big/z.txt" && head -c 200000 /dev/urandom >"$sample/sub/noise.bin"
head -c 48000000 /dev/urandom >"$big/big.bin" && touch -d '2021-03-04 05:06:08' "$sample/a.txt" "$sample/sub"/*

# sfx SOURCE [DIR COMMAND [ZIP_ARGUMENTS]]: $t/pkg.exe is the stub, the configuration block (the two texts, each
# NUL-padded to 257 bytes), and a ZIP of SOURCE (-r . by default) whose offsets `zip -A` makes absolute.
sfx() {
  (cd "$1" && zip -q -X "$t/payload.zip" "${@:4}" $([ $# -gt 3 ] || echo -r .)) || return 1
  { cat "$stub"; for text in "${2:-}" "${3:-}"; do printf '%s' "$text"; head -c $((257 - ${#text})) /dev/zero; done
    cat "$t/payload.zip"; } >"$t/pkg.exe" && zip -q -A "$t/pkg.exe"
}
w() { win "$t/$1"; }  # the Windows form of a path in the row's folder
# publish LEVEL [PACK_ARGUMENTS]: $t/pkg.exe packed from the sample by zarvel with the table's stub, asking for LEVEL.
zarvel=$(realpath "${ZARVEL:-$root/build/native/zarvel}")
version=$(grep -oP 'project\(zarvel VERSION \K[\d.]+' "$root/CMakeLists.txt")
publish() { "$zarvel" pack -o "$t/pkg.exe" --stub "$stub" --elevation "$1" "${@:2}" "$sample"/* >/dev/null; }
publisher=(FileVersion=2.3.4 "ProductVersion=7 beta" "ProductName=Example Tool" "FileDescription=Example installer"
  "CompanyName=Exämple 日本" "LegalCopyright=(c) Example" OriginalFilename=setup.exe "Comments=a test") publishing=()
for pair in "${publisher[@]}"; do publishing+=(--version-info "$pair"); done
# An icon of 256 (PNG), 48, 32 and 16 pixels: the 256-pixel image alone outgrows the stub's resource section.
publisher_icon() { convert -seed 7 -size 256x256 plasma: -alpha set -depth 8 -define icon:auto-resize=256,48,32,16 \
  "$t/icon.ico"; }
read_back() {  # LINE...: what the system reads from pkg.exe's resources holds each LINE
  wine "$driver" --resources "$(w pkg.exe)" 2>/dev/null | tr -d '\r' >"$t/resources"
  for line; do grep -qxF "$line" "$t/resources" || { echo "    no '$line' in: $(cat "$t/resources")"; return 1; }; done
}
signed() {  # pkg.exe signed after packing: the signature verifies, and unzip, 7z and zarvel still test the archive
  (cd "$t" && openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=t &&
    osslsigncode sign -certs cert.pem -key key.pem -in pkg.exe -out signed.exe &&
    osslsigncode verify -CAfile cert.pem -in signed.exe && unzip -tq signed.exe && 7z t signed.exe &&
    "$zarvel" test signed.exe) >"$t/signed.log" 2>&1 || { echo "    signing: $(tail -3 "$t/signed.log")"; return 1; }
}
edited_image() {  # LEVEL ICON_SIZES [KEY=VALUE...]: pkg.exe's stub, its resource section grown past its place so that
  # the relocations moved, passes the binary check with those resources
  [ "$(objdump -h "$t/pkg.exe" | grep -F .reloc)" != "$(objdump -h "$stub" | grep -F .reloc)" ] ||
    { echo "    the resources did not outgrow their section"; return 1; }
  bash "$here/check-stub-binary.sh" "$t/pkg.exe" "$arch" "$@" >"$t/check.log" ||
    { grep FAILED "$t/check.log"; return 1; }
}
prompt() { printf 'In the directory %s\\ exists already a file \n%s. Replace the file ?' "$(w out)" "$1"; }
old() { local f; for f; do mkdir -p "$(dirname "$t/out/$f")" && printf 'old\n' >"$t/out/$f"; done; }
flip() {  # one byte of the stored text: its CRC no longer matches
  local at; at=$(grep -obUa 'bravo bravo' "$t/pkg.exe" | tail -1 | cut -d: -f1)
  printf B | dd of="$t/pkg.exe" bs=1 conv=notrunc seek="$at" 2>/dev/null
}
same_tree() {  # A B [FILE...]: the same files, and each FILE with the same modification time
  diff -r "$1" "$2" >/dev/null || { echo "    trees differ: $(diff -rq "$1" "$2" | head -3)"; return 1; }
  for f in "${@:3}"; do [ "$(stat -c %Y "$1/$f")" = "$(stat -c %Y "$2/$f")" ] || { echo "    time: $f"; return 1; }; done
}
content() {  # waits a while for a file a child writes; Windows programs may end lines in CR LF
  for _ in $(seq 50); do [ -s "$t/$1" ] && break; sleep 0.1; done
  [ "$(tr -d '\r' <"$t/$1" 2>/dev/null)" = "$2" ] || { echo "    $1: '$(cat "$t/$1" 2>&1)', not '$2'"; return 1; }
}
absent() { for f; do [ ! -e "$t/$f" ] || { echo "    $f exists"; return 1; }; done; }
system_program() {  # PROGRAM ARGUMENTS: a process runs PROGRAM of the system directory with ARGUMENTS; it is ended
  for _ in $(seq 50); do pgrep -f "system32.$1 $2\$" >"$t/pid" && break; sleep 0.1; done
  [ -s "$t/pid" ] && kill $(cat "$t/pid") || { echo "    no $1 $2 of the system directory runs"; return 1; }
}

# shot KIND: the screenshot shows the program's windows where the driver found them and nothing else (the KIND window
# of each scene reaches beyond the others), and the KIND window painted: many colours, mostly light.
shot() {
  local x y r b left top right bottom shown colours light png=$shots/$1.png
  read -r x y r b left top right bottom <"$shots/$1.rect"
  shown=$(convert "$png" -format %@ info:)
  read -r colours light < <(convert "$png" -crop "$((r - x))x$((b - y))+$x+$y" -format '%k %[fx:int(100*mean)]' info:)
  [ "$shown" = "$((right - left))x$((bottom - top))+$left+$top" ] && [ "$colours" -ge 8 ] && [ "$light" -ge 50 ] ||
    { echo "    $1.png: content $shown, windows $left $top $right $bottom, $colours colours, $light% light"; return 1; }
}

# NAME; making pkg.exe and the scene; driver steps (@go: main, the out folder typed in, Extract pressed); checks.
# dbcs_target extracts in code page 932 while it makes the scene, to the configured folder "out\表": the last byte
# of 表 is 0x5C, not a separator, so the files go into that folder, not beside it.
# linked_folder: the target holds a symbolic link to a folder elsewhere, which Wine shows as a reparse point; nothing
# goes through it. greek_name is a self-extractor named in letters the ANSI code page (1252) lacks: it opens itself by its short name.
rows=()  # a line starting with blanks continues the row above
while IFS= read -r line; do if [[ $line == " "* ]]; then rows[-1]+=$line; else rows+=("$line"); fi; done <<'TABLE'
extract_new; sfx $sample; main shot:main "field:$(w out/new/deeper)" click:1 "status:pkg.exe successfully extracted."
  @ok exit:0; same_tree $sample $t/out/new/deeper a.txt sub/b.txt && shot main
configured; sfx $sample "$(w out/conf)"; main "expect-field:$(w out/conf)" click:1 @ok exit:0
  ; same_tree $sample $t/out/conf
own_directory; sfx $sample; main "expect-field:$(w .)\\" close-main exit:0; absent out/a.txt a.txt
replace_yes; sfx $sample && old a.txt; @go "prompt:$(prompt a.txt)" shot:prompt answer:1 @ok exit:0
  ; same_tree $sample $t/out a.txt && shot prompt
replace_no; sfx $sample && old a.txt; @go "prompt:$(prompt a.txt)" answer:7 "status:pkg.exe successfully extracted."
  @ok exit:0; content out/a.txt old && content out/sub/b.txt "bravo bravo"
replace_all; sfx $sample && old a.txt sub/b.txt; @go "prompt-has:exists already a file" answer:1003 @ok exit:0
  ; same_tree $sample $t/out
replace_cancel; sfx $sample && old a.txt; @go "prompt:$(prompt a.txt)" answer:2 @canceled; content out/a.txt old
replace_close_box; sfx $sample && old a.txt; @go "prompt:$(prompt a.txt)" close-prompt @canceled; content out/a.txt old
cancel_large; sfx $big "" "" -0 big.bin z.txt; @go "status-has:big.bin " click:2 @canceled; absent out/big.bin out/z.txt
cancel_last; sfx $big "" record.exe -0 record.exe a.txt big.bin; @go "status-has:big.bin " click:2 @canceled
  ; absent out/big.bin out/started-from.txt && content out/a.txt alpha
corrupt_member; sfx $sample "" record.exe -0 -r . && flip; @go "status:Error (19962) in pkg.exe." still-open:1500
  close-main exit:0; absent out/started-from.txt && content out/a.txt alpha
follow_up_in_target; sfx $sample "" record.exe && cp $driver $t/record.exe; @go exit:0
  ; content out/started-from.txt "$(w out)"$'\n'"$(w out/record.exe)" && absent started-from.txt
missing_command; sfx $sample "" "nothere.exe /x"; @go "box:Zarvel Self Extractor|Couldn't run nothere.exe /x."
  exit:0; content out/a.txt alpha
follow_up_blanks; sfx $sample "" " "$'\t'record.exe && cp $driver $t/record.exe; @go exit:0
  ; content out/started-from.txt "$(w out)"$'\n'"$(w out/record.exe)" && absent started-from.txt
follow_up_system_cmd; sfx $sample "" "cmd /c echo ran>mark.txt" && cp $driver $t/cmd.exe; @go exit:0
  ; content out/mark.txt ran
follow_up_system_notepad; sfx $sample "" "notepad.exe readme.txt" && cp $driver $t/notepad.exe; @go exit:0
  ; system_program notepad.exe readme.txt && absent started-from.txt out/started-from.txt
about; sfx $sample; main click:3 "box:Zarvel Self Extractor|Zarvel" still-open:500 close-main exit:0; absent out/a.txt
extract_thrice; sfx $big "" "" -0 a.txt big.bin; @go click:1 "status-has:big.bin " click:1 @ok exit:0
  ; same_tree $big/big.bin $t/out/big.bin
browse; sfx $sample; main field:typed click:1014 browse shot:browse browse-cancel expect-field:typed click:1014
  browse browse-ok "expect-field:$(w .)\\" close-main exit:0; shot browse
no_archive; cp $stub $t/pkg.exe; @go "status:Error (9966) in pkg.exe." still-open:500 close-main exit:0; absent out/a.txt
linked_folder; sfx $sample && mkdir $t/elsewhere && ln -s $t/elsewhere $t/out/sub
  ; @go "status:Error (19963) in pkg.exe." still-open:1500 close-main exit:0; content out/a.txt alpha &&
  [ -z "$(ls $t/elsewhere)" ]
greek_name; sfx $sample && exe=Ωμέγα.exe && mv $t/pkg.exe $t/$exe; @go "status-has:.exe successfully extracted."
  @ok exit:0; same_tree $sample $t/out
long_name; mkdir $t/src && head -c 30000000 /dev/urandom >$t/src/$(printf a%.0s {1..96}).bin && sfx $t/src "" "" -0 -r .
  ; @go "status-fits:Extracting : aaa*...*aaa.bin *%" @ok exit:0; same_tree $t/src $t/out
long_directory; d=out/$(printf d%.0s {1..100}) && mkdir -p $t/$d && printf 'old\n' >$t/$d/a.txt && sfx $sample
  ; main "field:$(w $d)" click:1 "prompt-fits:In the directory Z:\*...*ddd\ exists already a file *a.txt. Replace the file ?"
  answer:1 @ok exit:0; same_tree $sample $t/$d
unix_names; mkdir $t/src && echo grüße >$t/src/grüße.txt && echo Ωmega >$t/src/Ωmega.txt && echo 日本 >$t/src/日本.txt &&
  (cd $t/src && zip -q ../unix.zip *) && "$zarvel" pack -o $t/pkg.exe --stub "$stub" $t/unix.zip >/dev/null
  ; @go "status:Error (19963) in pkg.exe." still-open:1500 close-main exit:0; content out/grüße.txt grüße &&
  [ "$(ls $t/out)" = grüße.txt ]
dbcs_target; sfx $sample "$(w out)"$'\\\x95\x5C' && localedef -i ja_JP -f UTF-8 $t/ja_JP.UTF-8 && LOCPATH=$t
  LC_ALL=ja_JP.UTF-8 wine $driver "$(w pkg.exe)" "$(w .)" -- main click:1
  "box:Zarvel|The files were successfully extracted." exit:0 >$t/932.log && grep -q '^DRIVER OK' $t/932.log
  ; main close-main exit:0; same_tree $sample $t/out/*
publisher; publisher_icon && publish requireAdministrator --icon $t/icon.ico "${publishing[@]}"; @go @ok exit:0
  ; same_tree $sample $t/out && read_back "${publisher[@]/=/: }" "fixed: 2.3.4.0 $version.0" "icons: 256 48 32 16"
  "level: requireAdministrator" && edited_image requireAdministrator 16,32,48,256 "${publisher[@]}" && signed
elevation_highest; publish highestAvailable; @go @ok exit:0; same_tree $sample $t/out && read_back "level: highestAvailable"
elevation_invoker; publish asInvoker --version-info FileVersion=5; @go @ok exit:0; same_tree $sample $t/out
  && read_back "level: asInvoker" "fixed: 5.0.0.0 $version.0"
TABLE

run_table() {  # LABEL STUB: a line per row, then the total
  local passed=0 failed=0 row name prepare steps checks log stub=$2 arch=$1 shots=$out/shots/$1
  mkdir -p "$shots" && export ZARVEL_SHOTS && ZARVEL_SHOTS=$(win "$shots")
  for row in "${rows[@]}"; do
    IFS=';' read -r name prepare steps checks <<<"$row"
    [[ $name =~ ${GUI_ONLY:-.} ]] || continue
    t=$work/$name log=$out/logs/$1-$name.log && rm -rf "$t" "$shots"/*.taken && mkdir -p "$t/out"
    steps=${steps//@go/main \"field:\$(w out)\" click:1}
    steps=${steps//@ok/\"box:Zarvel|The files were successfully extracted.\"}
    steps=${steps//@canceled/\"status:pkg.exe : Canceled by user.\" still-open:1500 close-main exit:0}
    exe=pkg.exe  # a row may name the self-extractor otherwise
    if eval "$prepare" && eval "steps=($steps)" && timeout 180 wine "$driver" "$(w $exe)" "$(w .)" -- \
      "${steps[@]}" >"$log" 2>&1 && grep -q '^DRIVER OK' "$log" && eval "$checks"; then
      passed=$((passed + 1)) && echo "gui: $name passed"
    else
      failed=$((failed + 1)) && echo "gui: $name FAILED" && grep -h '^FAIL' "$log"
      wineserver -k 2>/dev/null; wineserver -p 2>/dev/null
    fi
  done
  echo "gui ($1 under Wine): $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
}
run_table x86_64 "$build/zarvel-stub.exe"
status=$?
# At 144 DPI the dialogs are laid out anew: the rows with screenshots again, checked the same way.
[ -n "${GUI_ONLY:-}" ] || { gui_env_dpi 144 && GUI_ONLY='^(extract_new|replace_yes)$' run_table x86_64-144dpi \
  "$build/zarvel-stub.exe" || status=1; gui_env_dpi 96; }
i686=${I686_BUILD_DIR:-$root/build/i686}
if ! wine32_runs; then echo "gui: i686 stub not run: 32-bit Wine is not available"
elif [ ! -f "$i686/zarvel-stub.exe" ]; then echo "gui: i686 stub not run: none in $i686"
else run_table i686 "$i686/zarvel-stub.exe" || status=1; fi
echo "gui: screenshots in $out/shots"
exit $status
