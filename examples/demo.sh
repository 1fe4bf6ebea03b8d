#!/bin/sh
# Walks the tool through a day of checks on the sample data in
# examples/data, in a scratch directory that is removed afterwards.
# Usage: demo.sh path/to/torquelin
set -u
tool=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
data=$(cd "$(dirname "$0")/data" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/torquelin-demo.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
cd "$scratch" || exit 1

meaning() {
	case $1 in
	0) echo "Normal" ;;
	255) echo "Return to Normal (-1)" ;;
	1) echo "First Alarm" ;;
	2) echo "Continue Alarm" ;;
	*) echo "Error return" ;;
	esac
}

check() {
	printf '$ torquelin'
	for a in "$@"; do
		case $a in
		*" "*) printf " '%s'" "$a" ;;
		*) printf ' %s' "$a" ;;
		esac
	done
	echo
	"$tool" "$@" </dev/null 2>&1
	code=$?
	echo "exit $code: $(meaning $code)"
}

# The status log, each line with what it means ($2 and $3 for the compare
# and target values).  "Difference" is the margin D, not the difference.
showlog() {
	echo "--- $1 ---"
	awk -v cmp="$2" -v tgt="$3" '
	NR == 1 { note = "the alarm counter after this run" }
	NR == 2 { note = "the counter before this run" }
	/^Compare value/ { note = cmp }
	/^Target value/ { note = tgt }
	/^Difference/ { note = "the margin D (not the difference)" }
	{ printf "    %-28s %s\n", $0, note; note = "" }' "$1"
	echo
}

echo "== Which word is W?  The word finder shows line 3 of the boiler report"
echo "   as a check reads it, every word numbered as W counts it:"
echo
cp "$data/boiler-0800.txt" boiler.txt
echo '$ torquelin --words L=3 boiler.txt'
"$tool" --words L=3 boiler.txt </dev/null 2>&1 | sed 's/^/    /'
echo

echo "== One-value mode: boiler B1 pressure (line 3, word 2) against 4.2 bar, margin 0.3"
echo
for t in 0800 0805 0810 0815; do
	cp "$data/boiler-$t.txt" boiler.txt
	echo "[$t] B1 reads $(sed -n 3p boiler.txt | awk '{print $2}')"
	check L=3 W=2 V=4.2 D=0.3 boiler.txt \
	    'echo "    >> alarm command: page the boiler engineer, B1 at $TORQUELIN_VALUE bar"' \
	    'echo "    >> return command: all clear, B1 at $TORQUELIN_VALUE bar"' boiler.log
	showlog boiler.log "V" "the word read from line 3"
done

echo "== Two-file mode: queue depths (lines 2-3, word 2) against yesterday's, margin 50"
echo
for d in mon tue wed thu fri; do
	cp "$data/queue-$d.csv" today.csv
	echo "[$d]"
	if [ -f yesterday.csv ]; then
		# Lines 2 and 3, word 2 of each file, side by side.
		paste -d, yesterday.csv today.csv | awk -F, 'NR == 2 || NR == 3 {
			m = $5 - $2; if (m < 0) m = -m
			printf "    %-8s yesterday %4s, today %4s: moved %3d%s\n", $1, $2,
			    $5, m, (m > 50 ? ", more than 50: in alarm" : "")
		}'
	else
		echo "(first run: no yesterday.csv yet, so an error; the copy creates it)"
	fi
	check D=50 L=2 X=1 W=2 today.csv yesterday.csv \
	    'echo "    >> alarm command: line $TORQUELIN_LINE went from $TORQUELIN_COMPARE to $TORQUELIN_VALUE"' \
	    'echo "    >> return command: queues back to normal"' queue.log
	if [ -f queue.log ]; then
		showlog queue.log "word 2 of line 3 of yesterday.csv" \
		    "the same word as text (the line split last)"
	else
		echo "    (no log yet)"; echo
	fi
done
echo "yesterday.csv now holds Friday's data:"
sed 's/^/    /' yesterday.csv
