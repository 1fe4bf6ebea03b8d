// The block reader against a plain ReadLine loop that reads while a byte is
// left.  The first bytes pick the block size (small ones often), the line
// L to go to, how many lines X to read on, and which reads only pass over;
// the rest is the file, walked as a run walks it, from a regular file
// (whole blocks) or from a memory stream (read up to each line feed).
// Every result, every stored byte, the dropped carriage returns and the
// end state after every line must agree with the loop.
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "check.h"
#include "linesource.h"

namespace {

struct Read {
	int ret;
	std::string text;
	bool end;            // no byte left afterwards
};

bool
Drained(FILE *f)
{
	int c = getc(f);

	if (c == EOF)
		return true;
	ungetc(c, f);
	return false;
}

// A regular file holding the bytes, read from its start.
FILE *
RegularFile(const unsigned char *in, size_t len)
{
	int fd = memfd_create("srcline", 0);
	FILE *f;

	if (fd < 0 || (len > 0 && write(fd, in, len) != (ssize_t)len) ||
	    lseek(fd, 0, SEEK_SET) != 0 || (f = fdopen(fd, "r")) == NULL)
		abort();
	return f;
}

// One read of the walk: into buf, or passed over when pass is set.
void
Expect(Src *s, const Read &want, bool pass)
{
	char buf[256];
	int r, n;

	Require(!SrcAtEnd(s));
	memset(buf, 0xA5, sizeof buf);
	r = SrcLine(s, pass ? NULL : buf);
	Require(r == want.ret);
	if (!pass) {
		n = r < 0 ? -r : r;
		Require(std::string(buf, n) == want.text);
		Require(memchr(buf, '\r', n) == NULL);
		Require(buf[n] == 0);
		for (int i = n + 1; i < (int)sizeof buf; i++)
			Require((unsigned char)buf[i] == 0xA5);
	}
	Require((SrcAtEnd(s) != 0) == want.end);
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const unsigned char *data, size_t size)
{
	static Src s;
	std::vector<Read> ref;
	const unsigned char *in;
	char buf[256];
	size_t len, cap, k;
	long line, loop, reads, done;
	unsigned pass;
	int ok;
	FILE *f;

	if (size < 4)
		return 0;
	// Block sizes around the piece length and the line lengths met.
	cap = data[0] < 128 ? 1u + data[0] : data[0] < 192 ?
	    200u + 2u * (data[0] - 128) : data[0] < 255 ?
	    (size_t)2048 * (data[0] - 191) : (size_t)SrcBlock;
	line = (long)data[1] - 2;
	loop = data[2];
	pass = data[3];
	in = data + 4;
	len = size - 4;

	if ((f = fmemopen((void *)in, len, "r")) == NULL)
		abort();
	while (!Drained(f)) {
		int r = ReadLine(f, buf, sizeof buf);
		ref.push_back({ r, std::string(buf, r < 0 ? -r : r), Drained(f) });
	}
	fclose(f);
	reads = (long)ref.size();

	// Bit 0 of the pass byte: a memory stream instead of a regular file;
	// bit 1: L passed over into no buffer; the rest: which reads after L
	// pass over, in turn.
	if (pass & 1) {
		if ((f = fmemopen((void *)in, len, "r")) == NULL)
			abort();
	} else {
		f = RegularFile(in, len);
	}
	SrcOpen(&s, f);
	s.cap = cap;
	Require(SrcFailed(&s) == 0);

	memset(buf, 0xA5, sizeof buf);
	ok = SrcGoTo(&s, line, pass & 2 ? NULL : buf);
	Require((ok != 0) == (line <= reads));
	if (line <= 0) {
		Require((unsigned char)buf[0] == 0xA5);
	} else if (ok && !(pass & 2)) {
		const Read &r = ref[line - 1];
		Require(std::string(buf, r.text.size()) == r.text);
		Require(buf[r.text.size()] == 0);
	}
	if (ok && line > 0)
		Require((SrcAtEnd(&s) != 0) == ref[line - 1].end);
	if (!ok) {
		Require(SrcAtEnd(&s));
		Require(SrcLine(&s, buf) == 0 && buf[0] == 0);
	} else {
		// The lines after L, as the run reads them, then the rest
		// passed over in one go.
		k = line > 0 ? (size_t)line : 0;
		for (long x = 0; x < loop && !SrcAtEnd(&s); x++, k++) {
			Require(k < ref.size());
			Expect(&s, ref[k], (pass >> (2 + x % 6)) & 1);
		}
		if (k < ref.size() && (pass & 0x80)) {
			done = SrcSkip(&s, reads);
			Require(done == reads - (long)k);
			k = ref.size();
		}
		for (; k < ref.size(); k++)
			Expect(&s, ref[k], false);
		Require(SrcAtEnd(&s));
		Require(SrcSkip(&s, 5) == 0);
		memset(buf, 0xA5, sizeof buf);
		Require(SrcLine(&s, buf) == 0 && buf[0] == 0);
	}
	Require(SrcAtEnd(&s));
	Require(SrcFailed(&s) == 0);
	fclose(f);
	return 0;
}
