#!/usr/bin/env bash
# Runs the Windows applier under Wine the way a user would, through
# wine_driver.exe: start-up boxes, a self-contained patch in the
# application's folder, a patch that does not fit and a target typed in, the
# close box during a run and during a search, the layout of the window, the
# Alt accelerators.
#   tests/wine/run_wine_tests.sh BUILD_WIN BUILD_NATIVE [BUILD_WIN64]
# BUILD_WIN holds the 32-bit tarnwell.exe (the product) with its test helpers,
# BUILD_WIN64 the 64-bit tarnwell64.exe with its own, BUILD_NATIVE the native
# make_fixtures. Every test runs against each build whose architecture this
# host can run (scripts/wine-env.sh --arches); the checks of the executables
# themselves need no Wine and always run. A host that runs none of the given
# builds fails. Screenshots, driver logs and the tests' folders go to
# $TARNWELL_WINE_OUT (default BUILD_WIN/wine-test-output), one folder per
# architecture. TARNWELL_WINE_ONLY names the tests to run (all when unset).
# Each architecture runs in one Xvfb display and one warm Wine session:
# starting those costs seconds, a test program only a fraction of one.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
win32=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
win64=
if [[ -n ${3:-} ]]; then win64=$(cd "$3" && pwd); fi
out=${TARNWELL_WINE_OUT:-$win32/wine-test-output}

fixtures=$out/fixtures
failures=0
start_all=$SECONDS
# Set for the session of one architecture: its build, applier and folders.
arch=${_TARNWELL_WINE_ARCH:-}
if [[ $arch == 64 ]]; then
  win=$win64 applier=$win64/tarnwell64.exe
else
  win=$win32 applier=$win32/tarnwell.exe
fi
shots=$out/win$arch/shots
work=$out/win$arch/work
if [[ -n $arch ]]; then out=$out/win$arch; fi
# Wine maps / to drive Z:. (winepath would start a wineserver of its own.)
winpath() { local p=$1; echo "Z:${p//\//\\}"; }

# run_test NAME: runs the function test_NAME, reports PASS or FAIL with its
# time; a failing test's driver log is shown.
run_test() {
  local name=$1 started=$EPOCHREALTIME
  local -a why=()
  test_"$name"
  local status=$?
  local took
  took=$(awk -v a="$started" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.1f", b - a }')
  if ((status == 0 && ${#why[@]} == 0)); then
    echo "PASS $name (${took}s)"
  else
    echo "FAIL $name (${took}s)"
    printf '  %s\n' "${why[@]}"
    [[ -f $out/$name.log ]] && sed 's/^/  | /' "$out/$name.log"
    failures=$((failures + 1))
  fi
}
# Within a test: note a failure (the test goes on, to report all of them).
flunk() { why+=("$*"); }

# Takes the screenshots the driver asks for (step "shot NAME").
take_shots() {
  local request name
  for request in "$shots"/*.request; do
    [[ -e $request ]] || continue
    name=$(basename "$request" .request)
    import -window root "$out/$name.png" 2>>"$out/import.log" || echo "  screenshot $name failed"
    rm -f "$request"
  done
}

# drive NAME DRIVER_ARG...: runs the driver, leaves its output in NAME.log;
# the status is the driver's (0: every step passed).
drive() {
  local log=$out/$1.log
  shift
  local status tries
  # Once in a long while Wine ends at start-up, before the driver prints its
  # first line, without a word: that says nothing of the program under test,
  # so the driver gets one more start.
  for tries in 1 2; do
    wine "$win/wine_driver.exe" --shots "$shots" "$@" >"$log" 2>&1 &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
      take_shots
      sleep 0.1
    done
    wait "$pid"
    status=$?
    if ((status == 0 || tries == 2)) || [[ -s $log ]]; then break; fi
    echo "  (wine did not start the driver; once more)"
  done
  if ((status)); then
    flunk "driver ended with $status: $(grep -m1 '^FAIL' "$log")"
    return 1
  fi
}

# in_log NAME TEXT...: each TEXT appears in NAME.log.
in_log() {
  local log=$out/$1.log text
  shift
  for text in "$@"; do grep -qF -- "$text" "$log" || flunk "missing in log: $text"; done
}

# same_files A B LIST: every file named in LIST is the same under A and B.
same_files() {
  local name
  while IFS= read -r name; do
    cmp -s "$1/$name" "$2/$name" || flunk "$1/$name differs from $2/$name"
  done <"$3"
}

# fresh NAME: an empty folder for one test.
fresh() { rm -rf "${work:?}/$1" && mkdir -p "$work/$1" && echo "$work/$1"; }

# installed_with DIR PATCH: version 1.0 of the application in DIR/app, with
# the patch program carrying fixture PATCH in it as DIR/app/update.exe.
installed_with() {
  cp -r "$fixtures/app-1.0" "$1/app" &&
    "$root/scripts/make-self-contained.sh" "$applier" "$fixtures/$2" "$1/app/update.exe"
}

# The program's texts as the driver prints them (UTF-8; \r \n escaped).
title='caption "Tarnwell 更新程式 v2.1g R2 中文化版本  (中文化: Mirelda =^_^=)"'
question_caption='caption "找到準備更新的目標"'
question_here='"這個更新程式可以套用到「目前的這個資料夾 」.  現在，您準備要套用這個更新程式上去了嗎？"'
error_caption='caption "錯誤"'
no_target_box='"\r\n無法繼續進行更新動作呦! 因為這個更新程式好像不適用於現行的資料夾耶？\r\n請使用「瀏覽」這個按鈕，選取目標資料夾的位置，然後再按 「套用」，\r\n這樣就大功告成了!  "'
close_caption='caption "確認   "'
close_text='"您確定要中斷目前的工作，然後退出程式？"'
checking_here='"正在檢查這個更新程式是否真的能夠套用到 「目前的這個資料夾 」... "'
test_passed='"測試沒有問題! 現在開始進行更新... "'
applied='"更新程式成功的套用上去了.  ^_^  "'
exit_text='"離 開"' apply_text='"套  用"' browse_text='"瀏覽(&B)"'
# A run has ended well once the apply button is hidden; the last line of the
# log comes a moment earlier, while the window is still busy.
apply_hidden="hidden enabled 0x40000300 0x00000000 $apply_text"
target_label='套用到:  '

# --- the executable itself -----------------------------------------------

# exe_format EXE TRIPLE MAGIC: a GUI program of that kind (PE magic 010b
# for 32-bit, 020b for 64-bit) that needs nothing beyond Windows' own DLLs.
exe_format() {
  local dump bad
  dump=$("$2-objdump" -p "$1")
  bad=$(sed -n 's/^\s*DLL Name: //p' <<<"$dump" |
        grep -viE '^(KERNEL32|USER32|GDI32|COMDLG32|ADVAPI32|msvcrt)\.(dll|DLL)$')
  grep -q "Magic.*$3" <<<"$dump" || flunk "$1: PE magic is not $3"
  grep -q 'Subsystem.*Windows GUI' <<<"$dump" || flunk "$1: not a GUI program"
  [[ -z $bad ]] || flunk "$1 imports $bad"
}
test_exe_format() { exe_format "$win32/tarnwell.exe" i686-w64-mingw32 010b; }
test_exe_format_64() { exe_format "$win64/tarnwell64.exe" x86_64-w64-mingw32 020b; }

# The window class loads the icon by its name; Explorer shows the version.
test_exe_resources() {
  local name
  for name in PATCHICON VS_VERSION_INFO "Tarnwell 更新程式"; do
    # Resource names and version strings are stored as UTF-16LE.
    local pattern
    pattern=$(printf '%s' "$name" | iconv -f UTF-8 -t UTF-16LE | od -An -tx1 | tr -d ' \n' |
              sed 's/../\\x&/g')
    LC_ALL=C grep -qaP "$pattern" "$win32/tarnwell.exe" || flunk "no resource text $name"
  done
}

# The script that makes a self-contained patch refuses what would not work.
test_make_self_contained() {
  local dir
  dir=$(fresh make_self_contained)
  local make=$root/scripts/make-self-contained.sh
  "$make" "$applier" "$fixtures/update.bin" "$dir/update.exe" 2>/dev/null ||
    flunk "cannot make update.exe"
  cmp -s <(cat "$applier" "$fixtures/update.bin") "$dir/update.exe" ||
    flunk "update.exe is not the applier followed by the patch"
  "$make" "$applier" "$fixtures/notapatch.bin" "$dir/x.exe" 2>/dev/null &&
    flunk "took a file that is no patch"
  "$make" "$dir/update.exe" "$fixtures/update.bin" "$dir/y.exe" 2>/dev/null &&
    flunk "took an applier that already carries a patch"
  "$make" "$fixtures/notapatch.bin" "$fixtures/update.bin" "$dir/z.exe" 2>/dev/null &&
    flunk "took a file that is no applier"
  [[ ! -e $dir/x.exe && ! -e $dir/y.exe && ! -e $dir/z.exe ]] || flunk "left an output after refusing"
}

# --- start-up ---------------------------------------------------------------

test_no_arguments() {
  drive no_arguments "$applier" -- box expect 'caption "命令列的使用方法 "' press 1 exit 1
}
test_usage() {
  drive usage "$applier" -h -- box expect 'caption "命令列的使用方法 "' \
    expect '用法: Patchname [舊檔案]' press 1 exit 1
}
test_not_a_patch() {
  drive not_a_patch "$applier" "$(winpath "$fixtures")\\notapatch.bin" -- \
    box expect 'caption "更新有錯誤 "' expect 'notapatch.bin' press 1 exit 255
}
test_format_191() {
  drive format_191 "$applier" "$(winpath "$fixtures")\\v191.bin" -- \
    box expect 'caption "更新有錯誤 "' expect 'format-191' press 1 exit 255
}
test_compressed() {
  drive compressed "$applier" "$(winpath "$fixtures")\\compressed.bin" -- \
    box expect 'caption "更新有錯誤 "' expect '不支援內部壓縮的功能' press 1 exit 255
}

# --- runs -------------------------------------------------------------------

# What a user does: copies the patch program into the application's folder
# and starts it there. The first run finds the folder and asks; after Yes
# only the exit button is left.
test_self_contained_here() {
  local dir
  dir=$(fresh self_contained_here)
  installed_with "$dir" update.bin || return 1
  drive self_contained_here --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$question_caption" expect "$question_here" shot question press 6 \
    window "Kestrin GUI" until "$apply_hidden" \
    expect "item ListBox 1 0 $checking_here" \
    expect 'item ListBox 1 1 " "' \
    expect "item ListBox 1 2 $test_passed" \
    expect 'item ListBox 1 3 " "' \
    expect 'item ListBox 1 4 "正在更新檔案「game.exe」: (ok) "' \
    expect 'item ListBox 1 5 "正在更新檔案「data\levels.dat」: (ok) "' \
    expect 'item ListBox 1 6 "正在更新檔案「說明.txt」: (ok) "' \
    expect 'item ListBox 1 7 "寫入包含在裡面的檔案「data\level9.dat」. "' \
    expect 'item ListBox 1 8 " "' \
    expect "item ListBox 1 9 $applied" \
    absent 'item ListBox 1 10 ' \
    expect "shown enabled 0x50000300 0x00000000 $exit_text" \
    expect "shown disabled 0x58000300 0x00000000 $browse_text" \
    expect 'control Edit 0 1 ' \
    expect 'Demo Game 1.1 更新程式\r\r\n遊戲說明: fixes the save routine' \
    pause 300 shot success \
    click Button 1 exit 0
  # Only the target box is disabled among the edits.
  grep -q '^control Edit 0 1 .* shown disabled ' "$out/self_contained_here.log" ||
    flunk "the target box is not disabled"
  same_files "$dir/app" "$fixtures/app-1.1" "$fixtures/app.new"
  same_files "$dir/app/backup-1.0" "$fixtures/app-1.0" "$fixtures/app.replaced"
  [[ ! -e $dir/app/backup-1.0/data/level9.dat ]] || flunk "an included file was backed up"
}

# Started where the application is not: the search finds nothing and says
# so. The user types the right folder and presses apply; that run tests with
# messages, then applies. The idle window closes without a question.
test_wrong_folder_then_apply() {
  local dir target
  dir=$(fresh wrong_folder_then_apply)
  mkdir -p "$dir/downloads/pictures"
  cp -r "$fixtures/app-1.0" "$dir/app"
  "$root/scripts/make-self-contained.sh" "$applier" "$fixtures/update.bin" \
    "$dir/downloads/update.exe" || return 1
  target=$(winpath "$dir/app")
  drive wrong_folder_then_apply --cd "$dir/downloads" "$dir/downloads/update.exe" -- \
    box expect "$error_caption" expect "$no_target_box" shot no_target press 1 \
    window "Kestrin GUI" \
    expect "item ListBox 1 0 $checking_here" \
    expect 'item ListBox 1 1 " "' \
    expect 'item ListBox 1 2 "無法繼續進行更新動作呦! 因為這個更新程式好像不適用於現行的資料夾耶？ "' \
    expect 'item ListBox 1 3 "請使用「瀏覽」這個按鈕，選取目標資料夾的位置，然後再按 「套用」， "' \
    expect 'item ListBox 1 4 "這樣就大功告成了!  "' \
    absent 'item ListBox 1 5 ' \
    expect "shown enabled 0x50000300 0x00000000 $apply_text" \
    expect "shown enabled 0x50000300 0x00000000 $browse_text" \
    measure "$target_label" \
    type Edit 1 "$target" click Button 2 until "$apply_hidden" \
    expect "item ListBox 1 0 \"正在檢查這個更新程式是否真的能夠套用到 「$target」... \"" \
    expect 'item ListBox 1 1 "檢查 「game.exe」 檔案裡面的更新資訊 ： (ok) "' \
    expect 'item ListBox 1 2 "檢查 「data\levels.dat」 檔案裡面的更新資訊 ： (ok) "' \
    expect 'item ListBox 1 3 "檢查 「說明.txt」 檔案裡面的更新資訊 ： (ok) "' \
    expect 'item ListBox 1 4 "跳過包含在裡面的檔案 「data\level9.dat」. "' \
    expect "item ListBox 1 6 $test_passed" \
    expect 'item ListBox 1 8 "正在更新檔案「game.exe」: (ok) "' \
    expect 'item ListBox 1 11 "寫入包含在裡面的檔案「data\level9.dat」. "' \
    expect "item ListBox 1 13 $applied" \
    close exit 0
  same_files "$dir/app" "$fixtures/app-1.1" "$fixtures/app.new"
  same_files "$dir/app/backup-1.0" "$fixtures/app-1.0" "$fixtures/app.replaced"
  [[ -z $(ls -A "$dir/downloads/pictures") ]] || flunk "wrote into a folder that did not fit"
}

# The window as laid out, read back from the snapshot the last test took of
# the idle window: outer size and place, styles, every control's rectangle.
test_window_layout() {
  local log=$out/wrong_folder_then_apply.log
  [[ -f $log ]] || { flunk "no log of wrong_folder_then_apply"; return 1; }
  # The first complete snapshot of the main window.
  local snap
  snap=$(awk '/^window Kestrin GUI$/ { on = 1 } on && /^step / { exit } on { print }' "$log")
  local screen_w screen_h scroll_bar x y w h style
  read -r _ screen_w screen_h scroll_bar < <(grep -m1 '^screen ' "$log")
  read -r _ x y w h < <(grep -m1 '^rect ' <<<"$snap")
  read -r _ style _ < <(grep -m1 '^style ' <<<"$snap")
  grep -qxF -- "$title big5=5461726e77656c6c20a7f3b773b57ba6a12076322e316720523220a4a4a4e5a4c6aaa9a5bb202028a4a4a4e5a4c63a204d6972656c6461203d5e5f5e3d29" <<<"$snap" ||
    flunk "title differs"
  [[ "$x $y $w $h" == "$(((screen_w - 600) / 2)) $(((screen_h - 405) / 2)) 600 405" ]] ||
    flunk "window at $x $y size $w x $h on a $screen_w x $screen_h work area"
  # Caption and close box on an overlapped window; no sizing border, no
  # minimise or maximise box. The system adds visible and clip-siblings.
  ((($style & 0x00ff0000) == 0x00c80000)) || flunk "window style $style"

  local label_width
  read -r _ label_width _ < <(grep -m1 '^width ' "$log")
  [[ -n $label_width ]] || flunk "no width of the target label"
  # class number left top width height style exstyle, in creation order.
  local expected="Button 1 519 342 65 25 0x50000300 0x00000000
Button 2 449 342 65 25 0x50000300 0x00000000
Button 3 519 160 65 25 0x50000300 0x00000000
Edit 1 $((25 + label_width)) 160 $((475 - label_width)) 25 0x50000000 0x00000200
Edit 2 10 25 575 125 0x50200804 0x00000200
ListBox 1 9 215 575 125 0x50304000 0x00000200"
  local actual item_height
  read -r _ _ _ item_height < <(grep -m1 '^itemheight ListBox 1 ' <<<"$snap")
  # A list box shrinks to whole lines (counted while its horizontal scroll
  # bar was still there) and shows its scroll bars only when they are needed;
  # put back what the system changed.
  actual=$(grep '^control ' <<<"$snap" | while read -r _ cls _ n l t cw ch _ _ st ex _; do
    if [[ $cls == ListBox ]] && ((ch <= 125 && ch > 125 - item_height - scroll_bar)); then
      ch=125
      st=$(printf '0x%08x' $((st | 0x00300000)))
    fi
    echo "$cls $n $l $t $cw $ch $st $ex"
  done)
  [[ $actual == "$expected" ]] ||
    flunk "controls differ (< expected, > actual):" "$(diff <(echo "$expected") <(echo "$actual"))"
  in_log wrong_folder_then_apply "$exit_text" "$apply_text" "$browse_text"
}

# pixels PNG X Y W H: prints how many pixels of that rectangle are drawn in
# text black and how many in link blue (0xEE0000 as 0x00BBGGRR; smoothed
# edges count when the colour clearly leans that way).
pixels() {
  convert "$1" -crop "${4}x${5}+${2}+${3}" +repage -depth 8 txt:- 2>/dev/null |
    awk -F'[(),]' 'NR > 1 { r = $3; g = $4; b = $5
      if (r < 90 && g < 90 && b < 90) dark++
      else if (b > 170 && r < 90 && g < 90) blue++ }
      END { print dark + 0, blue + 0 }'
}

# The labels and links that the window paints itself, found on the
# screenshot of the finished run: each where it belongs and in its colour.
test_painted_texts() {
  local png=$out/success.png x y
  [[ -f $png ]] || { flunk "no screenshot success.png"; return 1; }
  read -r _ x y _ < <(grep '^client ' "$out/self_contained_here.log" | tail -1)
  local name left top width dark blue
  while read -r name left top width; do
    read -r dark blue < <(pixels "$png" $((x + left)) $((y + top)) "$width" 14)
    case $name in
      link*) ((blue > 30 && dark == 0)) || flunk "$name: $blue blue and $dark black pixels" ;;
      *) ((dark > 30 && blue == 0)) || flunk "$name: $dark black and $blue blue pixels" ;;
    esac
  done <<'EOF_AREAS'
label_target 15 164 60
label_description 15 4 180
label_progress 15 195 180
label_links 10 347 40
link_what_is_a_patch 57 347 110
link_make_your_own 175 347 150
EOF_AREAS
}

# Closing during a run asks first. No: the run goes on. Yes while it still
# tests: the run stops at its next step with nothing changed (no backup, no
# message), and the program ends.
test_close_during_run() {
  local dir
  dir=$(fresh close_during_run)
  cp -r "$fixtures/big-1.0" "$dir/big"
  cp -r "$fixtures/big-1.0" "$dir/big2"
  "$root/scripts/make-self-contained.sh" "$applier" "$fixtures/big.bin" \
    "$dir/big-update.exe" || return 1
  # While the question is open the run waits for the answer, so neither
  # answer races the run: Yes ends it with nothing changed...
  drive close_during_run --timeout 60000 --cd "$dir" "$dir/big-update.exe" "$(winpath "$dir/big")" -- \
    closefast "Kestrin GUI" \
    box expect "$close_caption" expect "$close_text" shot close_question press 6 \
    exit 0
  same_files "$dir/big" "$fixtures/big-1.0" "$fixtures/big.new"
  [[ ! -e $dir/big/backup ]] || flunk "a backup was made"
  # ...and No lets it finish the update.
  drive close_during_run_no --timeout 60000 --cd "$dir" "$dir/big-update.exe" "$(winpath "$dir/big2")" -- \
    closefast "Kestrin GUI" \
    box expect "$close_caption" press 7 \
    window "Kestrin GUI" until "$applied" close \
    exit 0
  same_files "$dir/big2" "$fixtures/big-1.1" "$fixtures/big.new"
}

# Yes to the close question during a search stops it at its next step: no
# candidate is asked about any more, no error is shown, and the program ends.
test_close_during_search() {
  local dir
  dir=$(fresh close_during_search)
  cp -r "$fixtures/big-1.0" "$dir/one"
  cp -r "$fixtures/big-1.0" "$dir/two"
  "$root/scripts/make-self-contained.sh" "$applier" "$fixtures/big.bin" \
    "$dir/big-update.exe" || return 1
  drive close_during_search --timeout 60000 --cd "$dir" "$dir/big-update.exe" -- \
    closefast "Kestrin GUI" \
    box expect "$close_caption" press 6 \
    exit 0
  same_files "$dir/one" "$fixtures/big-1.0" "$fixtures/big.new"
  same_files "$dir/two" "$fixtures/big-1.0" "$fixtures/big.new"
  [[ ! -e $dir/one/backup && ! -e $dir/two/backup ]] || flunk "a backup was made"
}

test_alt_keys() {
  local dir
  dir=$(fresh alt_keys)
  drive alt_keys --cd "$dir" "$applier" "$(winpath "$fixtures")\\update.bin" "$(winpath "$dir")" -- \
    box expect "$error_caption" press 1 \
    window "Kestrin GUI" alt E pause 300 show expect "$title" \
    alt e exit 0
}

# A file held open by another program, as a running program holds its own
# executable, cannot be moved into the backup folder: the test finds it out
# and the run stops with message 31 before anything changes. Once it is let
# go, a second run completes the update.
test_file_in_use() {
  local dir flag holder
  dir=$(fresh file_in_use)
  installed_with "$dir" update.bin || return 1
  flag=$dir/held.flag
  wine "$win/hold_file.exe" "$(winpath "$dir/app/game.exe")" "$(winpath "$flag")" &
  holder=$!
  for _ in {1..100}; do [[ -e $flag ]] && break; sleep 0.1; done
  [[ -e $flag ]] || { flunk "hold_file.exe did not take the file"; return 1; }
  drive file_in_use --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$error_caption" expect '錯誤! 更新程式要搬移原始檔案到備份的資料夾內' press 1 \
    window "Kestrin GUI" close exit 0
  rm -f "$flag"
  wait "$holder"
  cmp -s "$dir/app/game.exe" "$fixtures/app-1.0/game.exe" || flunk "the held file changed"
  [[ ! -e $dir/app/backup-1.0 ]] || flunk "a backup was made: $(ls -R "$dir/app/backup-1.0")"
  drive file_in_use_released --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$question_caption" press 6 \
    window "Kestrin GUI" until "$apply_hidden" expect "item ListBox 1 9 $applied" \
    click Button 1 exit 0
  same_files "$dir/app" "$fixtures/app-1.1" "$fixtures/app.new"
  same_files "$dir/app/backup-1.0" "$fixtures/app-1.0" "$fixtures/app.replaced"
}

# A folder of the application that is a link to a place outside it (Wine
# shows a linked folder as a reparse point, as Windows shows a junction):
# nothing is written or moved out there, and the run stops with an error.
test_linked_folder() {
  local dir
  dir=$(fresh linked_folder)
  installed_with "$dir" update.bin || return 1
  mkdir "$dir/outside"
  mv "$dir/app/data" "$dir/outside/data"
  ln -s ../outside/data "$dir/app/data"
  drive linked_folder --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$error_caption" expect '錯誤! 本來更新程式要使用暫存檔案來替換掉更新的檔案' press 1 \
    window "Kestrin GUI" close exit 0
  [[ $(ls "$dir/outside/data") == levels.dat ]] || flunk "outside: $(ls "$dir/outside/data")"
  cmp -s "$dir/outside/data/levels.dat" "$fixtures/app-1.0/data/levels.dat" ||
    flunk "the file outside changed"
}

# Two entries that differ only in the case of a Greek letter name one file to
# Windows: they are applied in order, so the file holds the second one's
# bytes under the first one's spelling, and nothing else changes.
test_case_clash() {
  local dir
  dir=$(fresh case_clash)
  installed_with "$dir" clash.bin || return 1
  drive case_clash --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$question_caption" press 6 \
    window "Kestrin GUI" until "$apply_hidden" expect "$applied" click Button 1 exit 0
  rm "$dir/app/update.exe"
  [[ $(cat "$dir/app/α.txt" 2>/dev/null) == Alpha ]] || flunk "α.txt: $(cat "$dir/app/α.txt" 2>&1)"
  rm -f "$dir/app/α.txt"
  diff -r "$dir/app" "$fixtures/app-1.0" >/dev/null || flunk "the folder changed: $(ls "$dir/app")"
}

# Two patch programs started in one folder: the first holds the folder from
# its test to its end, so the second stops at once with an error and changes
# nothing; the first then completes, and the backups are the old files.
test_two_at_once() {
  local dir first
  dir=$(fresh two_at_once)
  installed_with "$dir" update.bin || return 1
  cp "$dir/app/update.exe" "$dir/app/update2.exe"
  wine "$win/wine_driver.exe" --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$question_caption" pause 4000 press 6 \
    window "Kestrin GUI" until "$apply_hidden" click Button 1 exit 0 >"$out/two_at_once_first.log" 2>&1 &
  first=$!
  for _ in {1..100}; do
    grep -qF "$question_caption" "$out/two_at_once_first.log" 2>/dev/null && break
    sleep 0.1
  done
  drive two_at_once --cd "$dir/app" "$dir/app/update2.exe" -- \
    box expect "$error_caption" expect '另一個更新程式正在更新這個資料夾' press 1 \
    window "Kestrin GUI" close exit 0
  wait "$first" || flunk "the first program's driver: $(grep -m1 '^FAIL' "$out/two_at_once_first.log")"
  same_files "$dir/app" "$fixtures/app-1.1" "$fixtures/app.new"
  same_files "$dir/app/backup-1.0" "$fixtures/app-1.0" "$fixtures/app.replaced"
}

# Names whose Big5 bytes hold "\" as the second byte of a character (功 is
# A5 5C, 許 B3 5C), the backup folder 備份功 among them: the patch applies,
# and files and backups land where the names say, not split at that byte.
test_big5_names() {
  local dir
  dir=$(fresh big5_names)
  cp -r "$fixtures/names-1.0" "$dir/app"
  drive big5_names --cd "$dir/app" "$applier" "$(winpath "$fixtures")\\names.bin" \
    "$(winpath "$dir/app")" -- \
    window "Kestrin GUI" until "$apply_hidden" \
    expect 'item ListBox 1 4 "正在更新檔案「資料\功能.dat」: (ok) "' \
    expect 'item ListBox 1 5 "正在更新檔案「許可\說明.txt」: (ok) "' \
    expect 'item ListBox 1 6 "寫入包含在裡面的檔案「功CON.txt」. "' \
    expect "item ListBox 1 8 $applied" \
    click Button 1 exit 0
  same_files "$dir/app" "$fixtures/names-1.1" "$fixtures/names.new"
  same_files "$dir/app/備份功" "$fixtures/names-1.0" "$fixtures/names.replaced"
  local all want
  all=$(cd "$dir/app" && find . -mindepth 1 | LC_ALL=C sort | tr '\n' ' ')
  want="./備份功 ./備份功/許可 ./備份功/許可/說明.txt ./備份功/資料 ./備份功/資料/功能.dat"
  want+=" ./功CON.txt ./許可 ./許可/說明.txt ./資料 ./資料/功能.dat "
  [[ $all == "$want" ]] || flunk "the folder holds: $all"
}

# The links hand "start" and the address to the command interpreter named by
# ComSpec (a stand-in here that records how it was called), hidden.
test_links() {
  local dir shell record
  dir=$(fresh links)
  mkdir "$dir/shell"
  cp "$win/record_command.exe" "$dir/shell/interpreter.exe"
  shell=$(winpath "$dir/shell/interpreter.exe")
  record=$dir/shell/interpreter.exe.txt
  drive links --cd "$dir" --env "ComSpec=$shell" \
    "$applier" "$(winpath "$fixtures")\\update.bin" "$(winpath "$dir")" -- \
    box expect "$error_caption" press 1 \
    window "Kestrin GUI" clickat 100 355 pause 500 clickat 200 355 pause 500 \
    clickat 100 340 clickat 250 355 pause 500 close exit 0
  for _ in {1..50}; do [[ $(wc -l 2>/dev/null <"$record") -ge 2 ]] && break; sleep 0.1; done
  local want
  want="\"$shell\" /c start \"\" https://tarnwell.example/what-is-a-patch
\"$shell\" /c start \"\" https://tarnwell.example/make-your-own"
  [[ $(cat "$record" 2>/dev/null) == "$want" ]] ||
    flunk "the interpreter was called as: $(cat "$record" 2>/dev/null)"
}

# --- the patch maker ----------------------------------------------------------

# make_releases DIR: releases 1.0 and 1.1 in DIR/rel-1.0 and DIR/rel-1.1 with
# Big5 and ASCII names: changed files (one of them program-like), an
# unchanged one and one new in 1.1. Fixed times, since patches store them.
make_releases() {
  local r
  for r in 1.0 1.1; do mkdir -p "$1/rel-$r/資料" "$1/rel-$r/bin"; done
  printf 'Demo 1.0\r\n' >"$1/rel-1.0/readme.txt"
  printf 'Demo 1.1\r\nnew: save slots\r\n' >"$1/rel-1.1/readme.txt"
  printf '遊戲說明 第一版\r\n' >"$1/rel-1.0/說明.txt"
  printf '遊戲說明 第二版，修正存檔\r\n' >"$1/rel-1.1/說明.txt"
  # Calls to addresses: in 1.1 code was added, so every address above the
  # insertion grew; a few calls changed.
  local grow
  for grow in 0 1; do
    LC_ALL=C awk -v grow=$grow 'BEGIN { x = 12345
      for (i = 0; i < 40000; i++) {
        x = (x * 1103515245 + 12345) % 2147483648; a = 4096 + x % 60000
        if (grow && a > 30000) a += 52
        if (grow && i % 997 == 0) a = x % 4096
        if (grow && i == 20000) for (k = 0; k < 52; k++) printf "%c", 144
        printf "%c%c%c%c%c", 232, a % 256, int(a / 256) % 256, int(a / 65536), 0 } }' \
      >"$1/rel-1.$grow/資料/功能.dat"
  done
  head -c 30000 /dev/urandom >"$1/rel-1.0/bin/same.bin"
  cp "$1/rel-1.0/bin/same.bin" "$1/rel-1.1/bin/same.bin"
  printf 'only in 1.1' >"$1/rel-1.1/資料/新檔.txt"
  find "$1/rel-1.0" "$1/rel-1.1" -type f -exec touch -d '2024-03-05 14:22:10' {} +
  touch -d '2025-07-01 09:30:44' "$1/rel-1.1/資料/新檔.txt" "$1/rel-1.1/說明.txt"
}

# tarnwell-make.exe writes byte for byte the patch the Linux maker writes
# from the same folders, at the default effort and at the effort that tries
# several layouts; both appliers apply it.
test_maker_same_patch() {
  local dir target effort
  dir=$(fresh maker_same_patch)
  make_releases "$dir"
  for effort in 2 3; do
    "$native/tarnwell-make" -q --effort $effort -d '示範遊戲 1.1 更新' -b 舊檔 \
      "$dir/rel-1.0" "$dir/rel-1.1" -o "$dir/linux-$effort.bin" >"$out/maker_same_patch.log" 2>&1 ||
      { flunk "the Linux maker failed (effort $effort)"; return 1; }
    wine "$win/tarnwell-make.exe" -q --effort $effort -d '示範遊戲 1.1 更新' -b 舊檔 \
      "$(winpath "$dir/rel-1.0")" "$(winpath "$dir/rel-1.1")" -o "$(winpath "$dir/win-$effort.bin")" \
      >>"$out/maker_same_patch.log" 2>&1 || flunk "tarnwell-make.exe failed (effort $effort)"
    cmp "$dir/linux-$effort.bin" "$dir/win-$effort.bin" >>"$out/maker_same_patch.log" 2>&1 ||
      flunk "effort $effort: the patches differ"
  done
  # Both list it alike, names and all.
  "$native/tarnwell-make" --list "$dir/win-2.bin" | sed 1d >"$dir/linux.list"
  wine "$win/tarnwell-make.exe" --list "$(winpath "$dir/win-2.bin")" | sed 1d >"$dir/win.list"
  grep -q '^patched 資料\\功能.dat: ' "$dir/win.list" || flunk "no Big5 name in the listing"
  cmp -s "$dir/linux.list" "$dir/win.list" ||
    flunk "the listings differ:" "$(diff "$dir/linux.list" "$dir/win.list")"

  target=$dir/linux-target
  cp -r "$dir/rel-1.0" "$target"
  "$native/tarnwell" "$dir/win-2.bin" "$target" >>"$out/maker_same_patch.log" 2>&1 ||
    flunk "the Linux applier failed"
  diff -r -x 舊檔 "$target" "$dir/rel-1.1" >/dev/null || flunk "the Linux applier made something else"
  cmp -s "$target/舊檔/說明.txt" "$dir/rel-1.0/說明.txt" || flunk "no backup of 說明.txt"

  target=$dir/win-target
  cp -r "$dir/rel-1.0" "$target"
  drive maker_same_patch_wine --cd "$dir" "$applier" "$(winpath "$dir/win-2.bin")" \
    "$(winpath "$target")" -- \
    window "Kestrin GUI" until "$apply_hidden" \
    expect '正在更新檔案「說明.txt」: (ok) ' \
    expect '正在更新檔案「資料\功能.dat」: (ok) ' \
    expect '寫入包含在裡面的檔案「資料\新檔.txt」. ' \
    expect "$applied" click Button 1 exit 0
  diff -r -x 舊檔 "$target" "$dir/rel-1.1" >/dev/null || flunk "tarnwell.exe made something else"
  [[ $(stat -c %Y "$target/資料/新檔.txt") == $(stat -c %Y "$dir/rel-1.1/資料/新檔.txt") ]] ||
    flunk "the included file's time differs"
}

# A name the patch's code page cannot hold is refused, and named; another
# code page that holds it is taken.
test_maker_code_page() {
  local dir
  dir=$(fresh maker_code_page)
  mkdir -p "$dir/a" "$dir/b"
  printf 1 >"$dir/a/x.txt"
  printf 2 >"$dir/b/x.txt"
  # Code page 950 has no "é"; a best-fit conversion would quietly write "e".
  printf 3 >"$dir/b/café.txt"
  wine "$win/tarnwell-make.exe" -q "$(winpath "$dir/a")" "$(winpath "$dir/b")" \
    -o "$(winpath "$dir/p.bin")" >"$out/maker_code_page.log" 2>&1 && flunk "took é into code page 950"
  grep -qF 'café.txt: the applier would refuse this name (or code page 950 cannot write it)' \
    "$out/maker_code_page.log" || flunk "the refusal does not name the file"
  [[ ! -e $dir/p.bin ]] || flunk "wrote a patch after refusing"
  wine "$win/tarnwell-make.exe" -q -c 1252 "$(winpath "$dir/a")" "$(winpath "$dir/b")" \
    -o "$(winpath "$dir/p.bin")" >>"$out/maker_code_page.log" 2>&1 || flunk "refused code page 1252"
  grep -qF 'TARNWELL_CODEPAGE=1252' "$out/maker_code_page.log" ||
    flunk "no word that the Linux applier needs TARNWELL_CODEPAGE"
  "$native/tarnwell-make" -q -c 1252 "$dir/a" "$dir/b" -o "$dir/linux.bin" \
    2>>"$out/maker_code_page.log" &&
    cmp -s "$dir/p.bin" "$dir/linux.bin" || flunk "code page 1252: the patches differ"
}

# tarnwell-make.exe checks its command line with the Windows calls before any
# work: a missing folder is named as missing, an output inside a release or
# over an existing file is refused, --force replaces it, a program that is no
# applier is refused; nothing is left behind.
test_maker_refusals() {
  local dir log
  dir=$(fresh maker_refusals)
  log=$out/maker_refusals.log
  mkdir -p "$dir/a" "$dir/b"
  printf 1 >"$dir/a/x.txt"
  printf 2 >"$dir/b/x.txt"
  printf 'keep me' >"$dir/taken.bin"
  refused() {  # refused TEXT ARGS...: exit 2 and TEXT in the log
    local text=$1
    shift
    wine "$win/tarnwell-make.exe" -q "$@" >"$log" 2>&1
    [[ $? == 2 ]] || flunk "took $*"
    grep -qF "$text" "$log" || flunk "refusing $* does not say: $text"
  }
  refused 'cannot read it' "$(winpath "$dir/missing")" "$(winpath "$dir/b")" -o "$(winpath "$dir/p.bin")"
  refused 'the output would be inside' "$(winpath "$dir/a")" "$(winpath "$dir/b")" \
    -o "$(winpath "$dir/b/p.bin")"
  refused 'exists; --force replaces it' "$(winpath "$dir/a")" "$(winpath "$dir/b")" \
    -o "$(winpath "$dir/taken.bin")"
  refused 'is not a tarnwell applier' -s "$(winpath "$win/tarnwell-make.exe")" \
    "$(winpath "$dir/a")" "$(winpath "$dir/b")" -o "$(winpath "$dir/p.bin")"
  [[ ! -e $dir/p.bin && ! -e $dir/b/p.bin && $(cat "$dir/taken.bin") == 'keep me' ]] ||
    flunk "a refusal left or replaced a file"
  wine "$win/tarnwell-make.exe" -q --force "$(winpath "$dir/a")" "$(winpath "$dir/b")" \
    -o "$(winpath "$dir/taken.bin")" >"$log" 2>&1 || flunk "--force did not replace the output"
  [[ $(cat "$dir/taken.bin") != 'keep me' ]] || flunk "--force left the old output"
  [[ -z $(find "$dir" -name '*.tarnwell-make-*') ]] || flunk "a scratch file was left"
}

# tarnwell-make.exe --self-contained tarnwell.exe: the user starts the one
# program in the application's folder and it updates it.
test_maker_self_contained() {
  local dir
  dir=$(fresh maker_self_contained)
  make_releases "$dir"
  cp -r "$dir/rel-1.0" "$dir/app"
  wine "$win/tarnwell-make.exe" -q --self-contained "$(winpath "$applier")" \
    -d '示範遊戲 1.1 更新' "$(winpath "$dir/rel-1.0")" "$(winpath "$dir/rel-1.1")" \
    -o "$(winpath "$dir/app/update.exe")" >"$out/maker_self_contained.log" 2>&1 ||
    { flunk "tarnwell-make.exe failed"; return 1; }
  cmp -s -n "$(stat -c %s "$applier")" "$applier" "$dir/app/update.exe" ||
    flunk "update.exe does not start with tarnwell.exe"
  drive maker_self_contained --cd "$dir/app" "$dir/app/update.exe" -- \
    box expect "$question_caption" press 6 \
    window "Kestrin GUI" until "$apply_hidden" \
    expect '示範遊戲 1.1 更新' expect "$applied" click Button 1 exit 0
  rm "$dir/app/update.exe"
  # Backups go to a folder named after the old release by default.
  diff -r -x backup-rel-1.0 "$dir/app" "$dir/rel-1.1" >/dev/null || flunk "the folder is not release 1.1"
  [[ -d $dir/app/backup-rel-1.0 ]] || flunk "no backup-rel-1.0 folder"
}

# run_tests NAME...: the tests named, or those of them TARNWELL_WINE_ONLY names.
run_tests() {
  local name
  for name in "$@"; do
    [[ -z ${TARNWELL_WINE_ONLY:-} || " $TARNWELL_WINE_ONLY " == *" $name "* ]] || continue
    run_test "$name"
  done
}

if [[ -n $arch ]]; then
  # One architecture's session, started below under its own Wine prefix.
  mkdir -p "$shots" "$work"
  run_tests make_self_contained no_arguments usage not_a_patch \
    format_191 compressed self_contained_here painted_texts wrong_folder_then_apply window_layout \
    close_during_run close_during_search alt_keys file_in_use linked_folder \
    case_clash two_at_once big5_names links maker_same_patch maker_code_page maker_refusals maker_self_contained
  echo "wine tests (win$arch): $((SECONDS - start_all))s in the session"
  exit $((failures > 0))
fi

rm -rf "$out"
mkdir -p "$fixtures"
"$native/make_fixtures" "$fixtures" || { echo "FAIL make_fixtures"; exit 1; }
# What ships is checked wherever the tests run, Wine or not.
run_tests exe_format exe_resources
[[ -z $win64 ]] || run_tests exe_format_64

ran=()
for a in $("$root/scripts/wine-env.sh" --arches); do
  if [[ $a == 64 && -z $win64 ]]; then
    echo "wine tests: this host runs 64-bit programs, but no 64-bit build was given"
    continue
  fi
  echo "== wine tests on the ${a}-bit build"
  ran+=("${a}-bit")
  (
    export TARNWELL_WINE_ARCH=$a _TARNWELL_WINE_ARCH=$a
    . "$root/scripts/wine-env.sh" || exit 1
    tarnwell_headless "$0" "$@"
  ) || failures=$((failures + 1))
done

if ((${#ran[@]} == 0)); then
  echo "FAIL wine tests: this host runs none of the given Windows builds under Wine"
  exit 1
fi
echo "wine tests ran on: ${ran[*]} ($((SECONDS - start_all))s)"
if ((failures)); then
  echo "wine tests: $failures failed"
  exit 1
fi
echo "wine tests: all passed"
