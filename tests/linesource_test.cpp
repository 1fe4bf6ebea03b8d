// The block reader against a plain ReadLine loop that reads while a byte is
// left: the same lines, the same results and the same end state after every
// line, over random files whose block boundaries fall everywhere.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "linesource.h"
#include "textutil.h"

namespace {

// What one ReadLine call with a 256-byte buffer gave.
struct Read {
	int ret;
	std::string text;    // the stored characters, NULs included
	bool end;            // no byte left afterwards
};

// Whether f has no byte left to read.
bool
Drained(FILE *f)
{
	int c = getc(f);

	if (c == EOF)
		return true;
	ungetc(c, f);
	return false;
}

// Every read of a plain loop that reads while a byte is left.
std::vector<Read>
Reference(const std::string &path)
{
	std::vector<Read> reads;
	char buf[256];
	FILE *f = fopen(path.c_str(), "r");

	EXPECT_NE(f, nullptr);
	if (f == NULL)
		return reads;
	while (!Drained(f)) {
		memset(buf, 'U', sizeof buf);
		int r = ReadLine(f, buf, sizeof buf);
		reads.push_back({ r, std::string(buf, r < 0 ? -r : r),
		    Drained(f) });
		EXPECT_EQ(buf[r < 0 ? -r : r], 0);
	}
	fclose(f);
	return reads;
}

class TempFile {
public:
	TempFile()
	{
		const char *t = getenv("TMPDIR");
		std::string base = std::string(t && *t ? t : "/tmp") +
		    "/linesource.XXXXXX";
		std::vector<char> name(base.begin(), base.end());
		name.push_back(0);
		int fd = mkstemp(name.data());
		EXPECT_GE(fd, 0) << strerror(errno);
		if (fd >= 0)
			close(fd);
		path = name.data();
	}
	~TempFile() { unlink(path.c_str()); }
	void
	Write(const std::string &data)
	{
		FILE *f = fopen(path.c_str(), "wb");
		ASSERT_NE(f, nullptr);
		ASSERT_EQ(fwrite(data.data(), 1, data.size(), f), data.size());
		ASSERT_EQ(fclose(f), 0);
	}
	std::string path;
};

// The source's reads from where it stands to its end, each compared with
// the reference from read k on.
void
ExpectRest(Src *s, const std::vector<Read> &ref, size_t k, const char *how)
{
	char buf[256];

	for (; k < ref.size(); k++) {
		ASSERT_FALSE(SrcAtEnd(s)) << how << ", read " << k + 1;
		memset(buf, 'U', sizeof buf);
		int r = SrcLine(s, buf);
		ASSERT_EQ(r, ref[k].ret) << how << ", read " << k + 1;
		int n = r < 0 ? -r : r;
		ASSERT_EQ(std::string(buf, n), ref[k].text) << how << ", read " << k + 1;
		ASSERT_EQ(buf[n], 0) << how << ", read " << k + 1;
		ASSERT_EQ(SrcAtEnd(s) != 0, ref[k].end) << how << ", read " << k + 1;
	}
	ASSERT_TRUE(SrcAtEnd(s)) << how;
	ASSERT_FALSE(SrcFailed(s)) << how;
	// Past the end a read gives what ReadLine gives there.
	memset(buf, 'U', sizeof buf);
	ASSERT_EQ(SrcLine(s, buf), 0) << how;
	ASSERT_EQ(buf[0], 0) << how;
	ASSERT_TRUE(SrcAtEnd(s)) << how;
}

// A source over f reading blocks of cap bytes.
void
Open(Src *s, FILE *f, size_t cap)
{
	SrcOpen(s, f);
	s->cap = cap;
}

// Reads the whole file by lines, then reaches line n by counting and reads
// on from there, for every n given and, with ends, the lines around the
// last; also through a pipe when asked.
void
Compare(const std::string &data, std::vector<long> gotos, bool pipe,
    size_t cap = SrcBlock, bool ends = false)
{
	static Src s;
	TempFile tmp;
	char buf[256];

	tmp.Write(data);
	std::vector<Read> ref = Reference(tmp.path);
	long reads = (long)ref.size();
	if (ends)
		gotos.insert(gotos.end(), { reads - 1, reads, reads + 1 });

	FILE *f = fopen(tmp.path.c_str(), "r");
	ASSERT_NE(f, nullptr);
	Open(&s, f, cap);
	ExpectRest(&s, ref, 0, "line by line");
	fclose(f);

	for (long n : gotos) {
		SCOPED_TRACE(testing::Message() << "go to " << n);
		f = fopen(tmp.path.c_str(), "r");
		ASSERT_NE(f, nullptr);
		Open(&s, f, cap);
		memset(buf, 'U', sizeof buf);
		int ok = SrcGoTo(&s, n, buf);
		ASSERT_EQ(ok != 0, n <= reads);
		if (ok && n > 0) {
			const Read &r = ref[n - 1];
			ASSERT_EQ(std::string(buf, r.text.size()), r.text);
			ASSERT_EQ(buf[r.text.size()], 0);
			ASSERT_EQ(SrcAtEnd(&s) != 0, r.end);
			ExpectRest(&s, ref, n, "after going to a line");
		} else if (n <= 0) {
			ASSERT_EQ(buf[0], 'U');
			ExpectRest(&s, ref, 0, "after going nowhere");
		} else {
			ASSERT_TRUE(SrcAtEnd(&s));
		}
		fclose(f);

		f = fopen(tmp.path.c_str(), "r");
		ASSERT_NE(f, nullptr);
		Open(&s, f, cap);
		long skipped = SrcSkip(&s, n);
		ASSERT_EQ(skipped, n < 0 ? 0 : n < reads ? n : reads);
		ASSERT_EQ(SrcAtEnd(&s) != 0, skipped == reads);
		if (skipped < reads)
			ExpectRest(&s, ref, skipped, "after skipping");
		fclose(f);
	}

	if (pipe) {
		std::string cmd = "cat '" + tmp.path + "'";
		for (long n : { 0L, reads / 2 }) {
			if (n == reads / 2 && reads < 4)
				continue;
			SCOPED_TRACE(testing::Message() << "pipe, go to " << n);
			f = popen(cmd.c_str(), "r");
			ASSERT_NE(f, nullptr);
			Open(&s, f, cap);
			ASSERT_TRUE(SrcGoTo(&s, n, buf));
			ExpectRest(&s, ref, n, "pipe");
			pclose(f);
		}
	}
}

// Lines from a palette that mixes every byte the reader treats alike or
// apart: NUL, 0xFF, CR, LF and plain text, with lengths at the piece limit.
std::string
RandomData(std::mt19937 &rng, size_t size)
{
	static const int lengths[] = { 0, 0, 1, 2, 7, 30, 100, 253, 254, 255,
	    256, 257, 509, 510, 511, 512, 765, 766, 1000, 4000 };
	static const char bytes[] = { 'a', 'b', '1', ' ', ',', '.', '\0',
	    '\xff', '\x80', '\t', '\r' };
	std::string d;

	while (d.size() < size) {
		int n = lengths[rng() % (sizeof lengths / sizeof lengths[0])];
		if (rng() % 4 == 0)
			n += (int)(rng() % 5) - 2;
		int crs = rng() % 8 == 0 ? (int)(rng() % 6) : 0;
		for (int i = 0; i < n; i++)
			d += bytes[rng() % 10];
		for (int i = 0; i < crs; i++)
			d.insert(d.size() - (rng() % (n + 1)), 1, '\r');
		switch (rng() % 6) {
		case 0:
			d += "\r\n";
			break;
		case 1:
			d += "\r\r\n";
			break;
		default:
			d += '\n';
		}
	}
	if (rng() % 3 == 0)
		d.resize(d.size() - 1 - rng() % 3);
	return d;
}

// Going to every line near the ends and some at random.
std::vector<long>
Targets(std::mt19937 &rng, const std::string &data)
{
	long lines = 0;

	for (char c : data)
		lines += c == '\n';
	std::vector<long> t = { 0, 1, 2, 3, lines, lines + 1, lines + 2,
	    lines + 300, 1L << 40 };
	if (lines > 0)
		t.push_back(lines - 1);
	for (int i = 0; i < 12; i++)
		t.push_back(rng() % (lines + 2));
	return t;
}

} // namespace

TEST(LineSource, FixedFilesMatchReadLine)
{
	// Megabytes of one line, plain or with carriage returns strewn at
	// uneven steps, to be walked to its far pieces.
	std::string plain(3 << 20, 'x'), strewn = plain + "\nlast";
	for (size_t i = 97; i < plain.size(); i += 1000 + i % 613)
		strewn[i] = '\r';
	const struct {
		const char *name;
		std::string data;
		bool large = false;
	} rows[] = {
		{ "empty", "" },
		{ "one LF", "\n" },
		{ "two LFs", "\n\n" },
		{ "no final LF", "xyz" },
		{ "CRLF", "abc\r\n" },
		{ "CR inside", "a\rb\n" },
		{ "CR alone", "\r" },
		{ "CRs then LF", "\r\r\r\n\r" },
		{ "NUL and 0xFF", std::string("a\0b\xff\n\0", 6) },
		{ "254", std::string(254, 'x') + "\n" },
		{ "255", std::string(255, 'x') + "\n" },
		{ "255 at end", std::string(255, 'x') },
		{ "255 then CRLF", std::string(255, 'x') + "\r\n" },
		{ "255 then CR at end", std::string(255, 'x') + "\r" },
		{ "256", std::string(256, 'x') + "\n" },
		{ "510", std::string(510, 'x') + "\n" },
		{ "511", std::string(511, 'x') + "\nz" },
		{ "254 and CRs", "\r" + std::string(127, 'x') + "\r\r" +
		    std::string(127, 'y') + "\r\n" + "q\n" },
		{ "255 and CRs", std::string(200, 'x') + "\r\r\r" +
		    std::string(55, 'y') + "\r\n" },
		{ "256 and CRs", std::string(200, 'x') + "\r\r\r" +
		    std::string(56, 'y') + "\rz\n" },
		{ "3 MiB, no LF", plain, true },
		{ "3 MiB, CRs", strewn, true },
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.name);
		std::vector<long> t;
		for (long n = -1; n < 8; n++)
			t.push_back(n);
		if (row.large)
			t.insert(t.end(), { 514, 1000, 5000 });
		Compare(row.data, t, true, SrcBlock, row.large);
		for (size_t cap : { 1, 2, 3, 255, 256, 4093 })
			if (!row.large || cap == 255 || cap == 4093)
				Compare(row.data, t, false, cap, row.large);
	}
}

TEST(LineSource, RandomFilesMatchReadLine)
{
	static const unsigned seeds[] = { 1, 2, 3, 4, 5, 8, 12, 13, 16, 20, 21,
	    24, 34, 55, 89, 144, 233 };
	for (unsigned seed : seeds) {
		SCOPED_TRACE(testing::Message() << "seed " << seed);
		std::mt19937 rng(seed);
		// Up to three blocks and more, so that boundaries fall inside
		// lines, pieces and CRLF pairs alike.
		size_t size = seed % 4 == 0 ? rng() % 600 :
		    seed % 4 == 1 ? rng() % 40000 : rng() % (3 * SrcBlock + 5000);
		std::string data = RandomData(rng, size);
		std::vector<long> t = Targets(rng, data);
		Compare(data, t, seed % 3 == 0);
		// Small blocks put boundaries on every kind of spot.
		for (size_t cap : { 1, 2, 254, 255, 256, 257, 511, 4093 })
			if (data.size() < 3000 || (cap > 200 && data.size() < 50000))
				Compare(data, t, false, cap);
	}
}

// A probe of tricky lines put at every offset around the first block's end,
// with a small block and, at some offsets, with the real one.
TEST(LineSource, BlockBoundariesMatchReadLine)
{
	std::string probe = "\r\n" + std::string(254, 'a') + "\r\r\n" +
	    std::string(255, 'b') + "\r\n" + std::string(256, 'c') + "\n" +
	    std::string(100, 'd') + "\r" + std::string(155, 'e') + "\r\n\n" +
	    std::string(511, 'f') + "\n" + std::string(20, 'g');
	std::string pad;

	while (pad.size() < SrcBlock)
		pad += "12 34 5 " + std::string(90, 'p') + "\n";
	for (size_t block : { (size_t)4096, (size_t)SrcBlock }) {
		for (size_t k = 0; k <= probe.size() + 2; k++) {
			if (block == SrcBlock && k % 97 != 0)
				continue;
			SCOPED_TRACE(testing::Message() << "block " << block <<
			    ", probe at block end - " << k);
			// The padding's last line is cut to put the probe in
			// place; the probe's first CRLF ends it.
			std::string data = pad.substr(0, block - k) + probe;
			long lines = 0;
			for (size_t i = 0; i < block - k; i++)
				lines += pad[i] == '\n';
			Compare(data, { lines - 1, lines, lines + 1, lines + 3,
			    lines + 6 }, k % 256 == 0, block);
			if (HasFatalFailure())
				return;
		}
	}
}

// A read that fails (a directory gives EISDIR) ends the walk and is told
// apart from the end of the file.
TEST(LineSource, FailedReadEndsTheWalk)
{
	static Src s;
	char buf[256];
	const char *t = getenv("TMPDIR");
	FILE *f = fopen(t && *t ? t : "/tmp", "r");

	if (f == NULL)
		GTEST_SKIP() << "a directory does not open as a stream here";
	SrcOpen(&s, f);
	EXPECT_FALSE(SrcFailed(&s));
	EXPECT_TRUE(SrcAtEnd(&s));
	EXPECT_TRUE(SrcFailed(&s));
	EXPECT_EQ(SrcGoTo(&s, 1, buf), 0);
	EXPECT_EQ(SrcLine(&s, buf), 0);
	EXPECT_STREQ(buf, "");
	fclose(f);
}
