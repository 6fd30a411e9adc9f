#!/usr/bin/env bash
# Command-line test of qmkpack. Usage: cli_test.sh QMKPACK
# shellcheck source=support/expect.sh
. "$(dirname "$0")/support/expect.sh"

# A tree of every kind of entry, with times before 1980, at an odd second, in 2107 and after it.
t="$w/tree" big="$w/big"
mkdir -p "$t/Plugins" "$t/empty dir" "$t/deep/er/and/deeper" "$w/one" "$big" "$w/many/d"{0..36}
seq 1 20000 | tee "$t/Plugins/copy.txt" >"$t/Plugins/notes.txt"
head -c 70000 /dev/urandom >"$t/noise.bin"
head -c 300000 /dev/zero | tr '\0' x >"$t/runs.bin"
tee "$t/readme.txt" >"$t/deep/er/and/deeper/read me.sh" <"$here/cli_test.sh"
printf '*' >"$t/one.bin"
: >"$t/empty.txt"
touch -d '1999-05-03 16:48:01' "$t/readme.txt"
touch -d '1975-01-01' "$t/empty.txt"
touch -d '2108-06-01' "$t/one.bin"
touch -d '2107-06-01 12:00:01' "$t/deep/er/and/deeper/read me.sh"
chmod 444 "$t/noise.bin"
echo one >"$w/one/only.txt"

# roundtrip NAME DIR OPTION...: create into rt.ace, extract, compare.
roundtrip() {
  rm -rf "$w/rt.ace.out"
  expect "$1" 0 "" bash -c '"$1" create -q -f "${@:4}" "$2" "$3" && "$1" -q extract "$2" "$2.out" && diff -r "$3" "$2.out"' \
    _ "$q" "$w/rt.ace" "$2" "${@:3}"
}
for level in 1 2 3 4 5 6 7 8 9; do
  roundtrip "-$level" "$t" -$level
  roundtrip "-$level --no-solid" "$t" -$level --no-solid
done

# Past the compressor's 4 MiB buffer: d.bin repeats c.bin within the window, so it costs next to nothing.
seq 1 250000 >"$big/a.txt"
for f in b:2000000 c:600000 e:300000; do head -c "${f#*:}" /dev/urandom >"$big/${f%:*}.bin"; done
head -c 300000 "$big/b.bin" >"$big/f.bin"
seq 1 30000 >"$big/g.txt"
for level in 1 5 7 9; do
  rm -f "$big/d.bin"
  "$q" create -q -f -$level "$w/without.ace" "$big"
  cp "$big/c.bin" "$big/d.bin"
  roundtrip "large files at -$level" "$big" -$level
  expect "... the copy costs next to nothing" 0 "" [ "$(stat -c %s "$w/rt.ace")" -lt $(($(stat -c %s "$w/without.ace") + 2000)) ]
done
for k in {0..1999}; do printf '%*d\n' $((k % 300)) "$k" >"$w/many/d$((k % 37))/f$k.txt"; done
roundtrip "thousands of files" "$w/many"

expect "create" 0 "^$" "$q" c -q "$w/t.ace" "$t"
size=$(stat -c %s "$w/t.ace")
head -c $((size - 10)) "$w/t.ace" >"$w/cut.ace"
cp "$w/t.ace" "$w/flip.ace" && flip "$w/flip.ace" $((size / 2))
cp "$w/t.ace" "$w/header.ace" && flip "$w/header.ace" 41
cp "$w/t.ace" "$w/t.copy" && chmod 644 "$w/t.copy"
mkdir -p "$w/blocked/readme.txt" && echo "in the way" >"$w/blocked/Plugins"
zeros=$(printf '%0100d' 0)
long="$zeros/$zeros/$zeros/$zeros/$zeros/$zeros/$zeros/$(printf '%032d' 0)"
mkdir -p "$w/long/${long%/*}" && echo x >"$w/long/$long"
printf '# installer order\r\nPlugins\\copy.txt\r\nreadme.txt\r\nPlugins\r\n' >"$w/order.txt"
printf 'readme.txt\nmissing.txt\n' >"$w/bad-order.txt"
printf 'from a file' >"$w/comment.txt"
names() { "$q" list "$1" | sed -nE 's/^ +[0-9]+ .*  [0-9A-F]{8}  //p' | paste -sd,; }
export q && export -f names
# A directory it may not write, and qmkpack run as a user who may not (root may write anywhere).
mkdir -p "$w/ro" && chmod 555 "$w/ro" && chmod 755 "$w"
cp "$q" "$w/qmkpack" && chmod 755 "$w/qmkpack"
as_user=()
[ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups --)

cases <<'CASES'
help|0|"$q" --help|Usage: qmkpack COMMAND
version|0|"$q" --version|^qmkpack [0-9]+\.[0-9]+
no command|2|"$q"|no command given
unknown command|2|"$q" frobnicate x|unknown command 'frobnicate'
unknown option|2|"$q" --bogus list x|unknown option '--bogus'
unknown option of one letter, not a level|2|"$q" -z list x|unknown option '-z'
an option without its value|2|"$q" create x --order|option '--order' needs a value
list operands|2|"$q" list a b|expected one archive
extract operands|2|"$q" extract a|expected an archive and a target directory
seal operands|2|"$q" seal a|expected an archive and the seal file to write
create operands|2|"$q" create x.ace|expected an output archive and a directory
an option of create without create|2|"$q" -9 list x|compression options and -f go with 'create' and 'setup'
--force without create|2|"$q" --force test x|compression options and -f go with
--no-solid without create|2|"$q" --no-solid test x|compression options and -f go with
a bad SOURCE_DATE_EPOCH|2|env SOURCE_DATE_EPOCH=soon "$q" create -q "$w/x.ace" "$t"|SOURCE_DATE_EPOCH must be
a missing archive|2|"$q" list "$w/nonexistent.ace"|cannot open .*nonexistent.ace
a directory as archive|2|"$q" list "$w"|cannot (open|read)
an empty file|2|"$q" test /dev/null|/dev/null: empty file, not an archive
no archive in the file|2|"$q" t "$here/cli_test.sh"|no archive found
create of a missing directory|2|"$q" create -q "$w/x.ace" "$w/nonexistent"|is not a directory
create into a missing directory|2|"$q" create -q "$w/no/such/x.ace" "$t"|^qmkpack: cannot create /.*/no/such/x.ace: No such file or directory$
# The held fields: main header bytes 14 to 17, file flags at 36, bytes 58 to 63.
the held fields|0|bash -c '"$1" create -q "$2" "$3" && echo $(for r in 14:4 36:2 58:6; do od -An -tx1 -j ${r%:*} -N ${r#*:} "$2"; done)' _ "$q" "$w/one.ace" "$w/one"|^0a 0c 02 00 01 00 00 05 0a 00 00 00$
list: solid|0|"$q" l "$w/t.ace"|^Archive: .*t\.ace \(solid\)$
list: the time, odd seconds down|0|"$q" list "$w/t.ace"|1999-05-03 16:48:00  \.\.\.\.A  [0-9A-F]{8}  readme\.txt$
list: before 1980 as 1980|0|"$q" list "$w/t.ace"|1980-01-01 00:00:00 .* empty\.txt$
list: after 2107 as its last time, the CRC register|0|"$q" list "$w/t.ace"|2107-12-31 23:59:58  \.\.\.\.A  F646D9A4  one\.bin$
list: in 2107 as it is|0|"$q" list "$w/t.ace"|2107-06-01 12:00:00 .*deeper.read me\.sh$
list: noise stored and read-only|0|"$q" list "$w/t.ace"| 70000 100\.0%  stored .*\.R\.\.A .*noise\.bin$
list: text packed with a 1 MiB window, "\" separated|0|"$q" list "$w/t.ace"| lz77/1M .* Plugins\\copy\.txt$
list: a directory|0|"$q" list "$w/t.ace"| D\.\.\.\. .* Plugins$
list: the sum|0|"$q" list "$w/t.ace"| 14 entries$
test|0|"$q" test "$w/t.ace"|/t\.ace: 14 entries tested, 0 damaged, archive is intact$
test -q|0|"$q" -q test "$w/t.ace"|^$
extract|0|"$q" extract "$w/t.ace" "$w/out/new"|^file  readme\.txt$
extract: a directory|0|"$q" x "$w/t.ace" "$w/out/dir"|^dir   Plugins$
extract: the time|0|stat -c %y "$w/out/new/readme.txt"|^1999-05-03 16:48:00\.0+ [-+]
extract: read-only|0|stat -c %A "$w/out/new/noise.bin"|^-r--r--r--$
extract: over an earlier file|0|bash -c 'mkdir "$1" && echo old >"$1/readme.txt" && "$2" x "$3" "$1" && cmp "$1/readme.txt" "$4"' _ "$w/out/old" "$q" "$w/t.ace" "$t/readme.txt"|
seal|0|"$q" seal "$w/t.ace" "$w/t.seal"|/t\.ace: every entry intact; sealed in .*t\.seal$
seal: 12 bytes, QMKS first|0|bash -c 'head -c 4 "$1" && stat -c " %s" "$1"' _ "$w/t.seal"|^QMKS 12$
cut short|1|"$q" test "$w/cut.ace"|cut short
a damaged header|1|"$q" test "$w/header.ace"|header at offset 31 has a bad CRC; later entries are lost$
damaged: not sealed, no seal file|1|bash -c '"$1" seal "$2" "$3"; rc=$?; [ -e "$3" ] && rc=99; exit $rc' _ "$q" "$w/flip.ace" "$w/flip.seal"|damaged .*not sealed
a directory in the way|1|"$q" extract "$w/t.ace" "$w/blocked"|readme\.txt: a directory of that name exists
a file in the way: told once|0|grep -c "^qmkpack: Plugins: a file stands where a directory is needed" <("$q" extract "$w/t.ace" "$w/blocked" 2>&1)|^1$
a file in the way: the entries below it counted|1|"$q" extract "$w/t.ace" "$w/blocked"|^qmkpack: Plugins: 3 entries not extracted, as the directory could not be made$
a file in the way: the rest extracted|0|cmp "$w/blocked/one.bin" "$t/one.bin"|
# An existing output is kept unless -f; a failed create leaves nothing.
create onto an existing file|2|"$q" create -q "$w/t.ace" "$w/one"|t\.ace already exists; use -f to overwrite it
... leaves it|0|cmp "$w/t.ace" "$w/t.copy"|
create -f replaces it|0|"$q" create -q -f "$w/t.ace" "$w/one"|^$
... listed, with the sums|0|"$q" list "$w/t.ace"|^ +4 +4 100\.0%  1 entry$
--force replaces it too|0|bash -c '"$1" create -q --force "$2" "$3" && "$1" list "$2"' _ "$q" "$w/t.ace" "$t/Plugins"| 2 entries$
the longest name|0|bash -c '"$1" create -q "$2.ace" "$2" && "$1" -q extract "$2.ace" "$2.out" && diff -r "$2" "$2.out" && cp "$2.ace" "$2.copy"' _ "$q" "$w/long"|
a name one byte longer|2|bash -c 'echo y >"$2/$3"1 && "$1" create -q -f "$2.ace" "$2"' _ "$q" "$w/long" "$long"|name too long \(740 bytes; the installer takes at most 739\)
... leaves the earlier archive and nothing beside it|0|bash -c 'cmp "$1.ace" "$1.copy" && set -- "$1".ace* && echo $#' _ "$w/long"|^1$
SOURCE_DATE_EPOCH: same tree, same bytes|0|bash -c 'export SOURCE_DATE_EPOCH=1000000000; "$1" create -q "$2.1" "$3" && touch "$3/runs.bin" && "$1" create -q "$2.2" "$3" && cmp "$2.1" "$2.2"' _ "$q" "$w/r" "$t"|
SOURCE_DATE_EPOCH: later times clamped|0|bash -c 'export TZ=UTC SOURCE_DATE_EPOCH=946684800; "$1" create -q "$2" "$3" && "$1" list "$2"' _ "$q" "$w/e.ace" "$t"|2000-01-01 00:00:00 .*Plugins\\notes\.txt$
--comment|0|bash -c '"$1" create -q --comment "hello from the CLI" "$2" "$3" && "$1" list "$2"' _ "$q" "$w/c1.ace" "$w/one"|^Comment: hello from the CLI$
--comment-file|0|bash -c '"$1" create -q --comment-file "$2" "$3" "$4" && "$1" list "$3"' _ "$q" "$w/comment.txt" "$w/c2.ace" "$w/one"|^Comment: from a file$
a missing comment file|2|"$q" create --comment-file "$w/nonexistent.txt" "$w/c3.ace" "$w/one"|cannot open .*nonexistent\.txt
a comment as long as kept|0|"$q" create -q --comment "$(printf %02023d 0)" "$w/c4.ace" "$w/one"|^$
a comment one longer|2|"$q" create -q --comment "$(printf %02024d 0)" "$w/c5.ace" "$w/one"|the comment is too long
--order: the entries in its order|0|bash -c '"$1" create -q --order "$2" "$3" "$4" && names "$3"' _ "$q" "$w/order.txt" "$w/o.ace" "$t"|^Plugins\\copy\.txt,readme\.txt,Plugins$
--order: a missing path|2|"$q" create -q --order "$w/bad-order.txt" "$w/x.ace" "$t"|bad-order\.txt:2: missing\.txt: no such file or directory under
--no-solid|0|bash -c '"$1" create -q --no-solid "$2" "$3" && "$1" list "$2"' _ "$q" "$w/n.ace" "$w/one"|\(not solid\)
extract where it may not write|1|"${as_user[@]}" "$w/qmkpack" -q extract "$w/t.copy" "$w/ro"|^qmkpack: cannot create directory Plugins: Permission denied$
... and every failure with its reason|1|grep -vc -e ': Permission denied$' -e 'not extracted, as' <("${as_user[@]}" "$w/qmkpack" -q extract "$w/t.copy" "$w/ro" 2>&1)|^0$
create where it may not write|2|"${as_user[@]}" "$w/qmkpack" create -q "$w/ro/out.ace" "$w/one"|^qmkpack: cannot create .*/ro/out\.ace: Permission denied$
CASES

# What is not a file or directory stops create and leaves no archive; links are followed.
while IFS='|' read -r what make status pattern; do
  rm -rf "$w/odd" && mkdir -p "$w/odd/dir" && echo "plain" >"$w/odd/plain.txt"
  (cd "$w/odd" && eval "$make")
  expect "create of a tree with $what" "$status" "$pattern" bash -c \
    '"$1" create -q "$2.ace" "$2"; rc=$?; [ $rc = 0 ] && names "$2.ace" && rm "$2.ace"; ! ls -d "$2".ace* 2>/dev/null && exit $rc' _ "$q" "$w/odd"
done <<'CASES'
links to a file and a directory|mkdir real && echo linked >real/f.txt && ln -s real dirlink && ln -s real/f.txt filelink|0|^dir,dirlink,dirlink\\f\.txt,filelink,plain\.txt,real,real\\f\.txt$
a FIFO|mkfifo dir/pipe|2|odd/dir/pipe: cannot be packed: a FIFO
a socket|python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind("sock")'|2|odd/sock: cannot be packed: a socket
a link to a device|ln -s /dev/null dev|2|odd/dev: cannot be packed: a symbolic link to something that is neither
a dangling link|ln -s nowhere dir/gone|2|odd/dir/gone: cannot be packed: a symbolic link that leads nowhere
a link loop|ln -s loop2 loop1 && ln -s loop1 loop2|2|odd/loop1: cannot be packed: a symbolic link that leads nowhere \(Too many levels
a link to its own parent|ln -s .. dir/up|2|odd/dir/up: a symbolic link loop \(it leads back to .*odd\)
names that are one on Windows|echo a >README.txt && echo b >readme.txt|2|odd/README.txt and .*odd/readme.txt: the same name on Windows
a backslash in a name|echo x >'a\b'|2|odd/a\\b: a '\\' in the name
a name ending in a dot|echo x >'trail.'|2|odd/trail.: cannot be extracted safely: path component ending in a dot
CASES

finish
