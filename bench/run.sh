#!/bin/sh
# Times the tool against the standard tools that do the same work, side by
# side on this machine: reaching a line near the end of a large file, a run
# on a one-line file, the copy of two-file mode, and a far piece of one
# line without a line feed; then its peak memory over file sizes and lines.
# The data is made in a temporary directory and removed at the end; every
# file is read once first, so all runs find it in the page cache.
#
# usage: bench/run.sh torquelin-binary stopwatch-binary
# BENCH_DIR: where the temporary directory goes (default $TMPDIR or /tmp);
# RUNS: timed rounds for the large files (the start rounds, a few
# milliseconds each, are 30 times as many); LONG_MIB: size of the file
# without a line feed in MiB (default 1024).
set -eu

TQ=$(realpath "$1")
SW=$(realpath "$2")
RUNS=${RUNS:-11}
BASE=${BENCH_DIR:-${TMPDIR:-/tmp}}
LONG_MIB=${LONG_MIB:-1024}

# KiB: the file, its pair, the copy's temporary file and cp's target, and
# the file without a line feed
need=$((1500000 + LONG_MIB * 1024))
avail=$(df -Pk "$BASE" | awk 'NR == 2 { print $4 }')
if [ "$avail" -lt "$need" ]; then
	echo "bench: $BASE has ${avail} KiB free, needs $need" >&2
	exit 1
fi
DIR=$(mktemp -d "$BASE/torquelin-bench.XXXXXX")
SHM=
cleanup() {
	rm -rf "$DIR"
	[ -z "$SHM" ] || rm -rf "$SHM"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
cd "$DIR"

echo "$(date -u '+%Y-%m-%d %H:%M UTC'): $(nproc) cores," \
    "$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)," \
    "$(uname -sr), data on $(df -PT . | awk 'NR == 2 { print $2 }')," \
    "load $(cut -d ' ' -f 1-3 /proc/loadavg)"
echo "making 10,000,000 lines in $DIR ..."
awk 'BEGIN {
	split("alpha beta gamma delta epsilon zeta eta theta", w, " ")
	split("okay warn fail idle busy", s, " ")
	for (i = 1; i <= 10000000; i++)
		printf "%010d %s %d.%02d %s\n", i, w[i % 8 + 1], i % 1000, i % 100, s[i % 5 + 1]
}' > big.txt
cp big.txt big2.txt
printf '1 2 3\n' > small.txt
echo "big.txt: $(wc -c < big.txt) bytes, $(wc -l < big.txt) lines; line 9999999: $(sed -n '9999999{p;q;}' big.txt)"
cat big.txt big2.txt > /dev/null

echo
echo "seek: the value of line 9,999,999 (goal: at most 1.5 x wc -l)"
"$SW" "$RUNS" 2 \
    torquelin "$TQ" L=9999999 W=3 V=999.99 D=0.5 big.txt "" "" seek.log ";;" \
    "wc -l" wc -l big.txt ";;" \
    awk awk "NR == 9999999 { print; exit }" big.txt ";;" \
    sed sed -n "9999999{p;q;}" big.txt

echo
echo "start: a one-value check of a three-word line, log included (goal: at most 1.3 x /bin/true)"
"$SW" $((RUNS * 30)) 10 \
    torquelin "$TQ" L=1 W=2 V=2 D=0.5 small.txt "" "" start.log ";;" \
    /bin/true /bin/true
# The new log is synced and so is its rename, which on a disk costs about
# half a millisecond; on a memory file system that costs nothing, which
# leaves the start-up alone.
if [ -d /dev/shm ] && SHM=$(mktemp -d /dev/shm/torquelin-bench.XXXXXX 2>/dev/null); then
	echo "start, the log on tmpfs:"
	cp small.txt "$SHM/"
	(cd "$SHM" && "$SW" $((RUNS * 30)) 10 \
	    torquelin "$TQ" L=1 W=2 V=2 D=0.5 small.txt "" "" start.log ";;" \
	    /bin/true /bin/true)
fi

echo
echo "copy: a two-file check with L=1 of the pair (goal: at most 1.3 x cp)"
# Synced before every run, untimed: each run starts with nothing left to
# write back, as a run a minute after the last one does.  Otherwise the
# sync of the tool's small log waits for the disk to take the copies of
# the rounds before, its own and cp's alike.
"$SW" -s "$RUNS" 1 \
    torquelin "$TQ" L=1 W=3 D=0.5 big.txt big2.txt "" "" copy.log ";;" \
    cp cp big.txt big3.txt
cmp -s big.txt big2.txt || { echo "bench: the copy differs" >&2; exit 1; }
echo "copy, back to back (no sync between runs):"
"$SW" "$RUNS" 1 \
    torquelin "$TQ" L=1 W=3 D=0.5 big.txt big2.txt "" "" copy.log ";;" \
    cp cp big.txt big3.txt

echo
echo "loop: a two-file check of 1,000,001 lines, X=1000000 (goal: at most 1.5 x awk reading the same word)"
head -n 1000001 big.txt > mid.txt
cp mid.txt mid2.txt
cat mid.txt mid2.txt > /dev/null
"$SW" "$RUNS" 1 \
    torquelin "$TQ" L=1 X=1000000 W=3 D=0.5 mid.txt mid2.txt "" "" loop.log ";;" \
    awk awk "{ s += \$3 } END { print s }" mid.txt mid2.txt

echo
# Each 255 characters of a line are a line of their own for L, so L can
# reach far into a file that has no line feed at all: piece 4,000,000 starts
# 1,019,999,745 bytes into the GiB, 95 % of the way.
far=$((LONG_MIB * 15625 / 4))
echo "long line: piece $far of one line of $LONG_MIB MiB without a line feed (goal: at most 1.5 x cat)"
head -c $((LONG_MIB * 1048576)) /dev/zero | tr '\000' 'x' > long.txt
cat long.txt > /dev/null
"$SW" "$RUNS" 1 \
    torquelin "$TQ" L=$far W=1 V=0 D=0.5 long.txt "" "" long.log ";;" \
    cat cat long.txt
rm -f long.txt

echo
echo "memory: peak resident set over file sizes and L (goal: no growth)"
"$SW" -m 3 0 \
    "one line, L=1" "$TQ" L=1 W=2 V=2 D=0.5 small.txt "" "" m1.log ";;" \
    "big, L=1" "$TQ" L=1 W=3 V=1.01 D=0.5 big.txt "" "" m2.log ";;" \
    "big, L=9999999" "$TQ" L=9999999 W=3 V=999.99 D=0.5 big.txt "" "" m3.log ";;" \
    "pair, L=1" "$TQ" L=1 W=3 D=0.5 big.txt big2.txt "" "" m4.log ";;" \
    "pair, L=9999990 X=9" "$TQ" L=9999990 X=9 W=3 D=0.5 big.txt big2.txt "" "" m5.log ";;" \
    "wc -l" wc -l big.txt ";;" \
    /bin/true /bin/true

echo
echo "load at the end: $(cut -d ' ' -f 1-3 /proc/loadavg)"
