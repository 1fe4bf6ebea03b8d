// The text utilities at their limits: line pieces around 255 characters,
// the word and parameter caps, slots reused between calls, heap lines of
// any length and case folding next to double-byte characters.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "textutil.h"

using namespace std::string_literals;

namespace {

// A stream that holds exactly these bytes, at its start, indicators clear.
FILE *
Stream(const std::string &bytes)
{
	FILE *f = tmpfile();

	if (f == NULL)
		return NULL;
	if (!bytes.empty() &&
	    fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
		fclose(f);
		return NULL;
	}
	rewind(f);
	return f;
}

// n characters that differ from their neighbours, so a piece that starts
// or ends one byte off shows.
std::string
Pattern(size_t n, int shift = 0)
{
	static const char set[] =
	    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
	std::string s;

	for (size_t i = 0; i < n; i++)
		s += set[(i + shift) % (sizeof set - 1)];
	return s;
}

// The same text with a carriage return after every tenth character.
std::string
WithCRs(const std::string &text)
{
	std::string s;

	for (size_t i = 0; i < text.size(); i++) {
		s += text[i];
		if (i % 10 == 9)
			s += '\r';
	}
	return s;
}

std::string
Numbers(int from, int to, const char *sep = " ")
{
	std::string s;

	for (int i = from; i <= to; i++) {
		if (i > from)
			s += sep;
		s += std::to_string(i);
	}
	return s;
}

std::vector<std::string>
NumberWords(int from, int to)
{
	std::vector<std::string> v;

	for (int i = from; i <= to; i++)
		v.push_back(std::to_string(i));
	return v;
}

std::string
Printable(const std::string &s)
{
	std::string out;
	char hex[8];

	if (s.size() > 60)
		return Printable(s.substr(0, 40)) + "...(" +
		    std::to_string(s.size()) + " bytes)";
	for (unsigned char c : s) {
		if (c >= 0x20 && c < 0x7F) {
			out += (char)c;
		} else {
			snprintf(hex, sizeof hex, "\\x%02X", c);
			out += hex;
		}
	}
	return out;
}

// Bytes after a line's NUL, as a reused buffer holds them: blanks, commas,
// delimiters and words that a scan past the end would take.
const std::string EndTail = "\0 x,'y z' \"w @v@ ,"s;

// Fills every slot of Par with a word, as a busy earlier line would.
void
FillPar(void)
{
	ASSERT_EQ(Parsex(Numbers(101, 125).c_str()), 20);
	for (int k = 0; k < 20; k++)
		ASSERT_NE(Par[k][0], 0);
}

// Slots 0 to count-1 hold the words, every later slot is empty.
void
ExpectPar(int count, const std::vector<std::string> &words)
{
	ASSERT_EQ((size_t)count, words.size());
	for (int k = 0; k < 20; k++) {
		SCOPED_TRACE("slot " + std::to_string(k));
		// The slot must be terminated inside its 256 bytes.
		ASSERT_NE(memchr(Par[k], 0, sizeof Par[k]), nullptr);
		if (k < count)
			EXPECT_EQ(std::string(Par[k]), words[k]);
		else
			EXPECT_EQ(Par[k][0], 0);
	}
}

}	// namespace

struct LineCall {
	int result;
	std::string text;	// the |result| bytes stored
	bool eof;		// end-of-file indicator after the call
};

TEST(ReadLine, PiecesCarriageReturnsAndEndOfStream)
{
	const std::string s254 = Pattern(254), s255 = Pattern(255);
	const std::string s256 = Pattern(256), s300 = Pattern(300);
	struct Row {
		const char *name;
		std::string input;
		int size;
		std::vector<LineCall> calls;
	} rows[] = {
		{ "254 characters", s254 + "\nnext\n", 256,
		  { { 254, s254, false }, { 4, "next", false },
		    { 0, "", true } } },
		{ "255 characters", s255 + "\n", 256,
		  { { -255, s255, false }, { 0, "", false }, { 0, "", true } } },
		{ "256 characters", s256 + "\n", 256,
		  { { -255, s256.substr(0, 255), false },
		    { 1, s256.substr(255), false }, { 0, "", true } } },
		{ "300 characters", s300 + "\n", 256,
		  { { -255, s300.substr(0, 255), false },
		    { 45, s300.substr(255), false }, { 0, "", true } } },
		{ "255 characters and CR LF", s255 + "\r\nz\n", 256,
		  { { -255, s255, false }, { 0, "", false },
		    { 1, "z", false } } },
		{ "CRs inside a long line", WithCRs(s300) + "\r\n", 256,
		  { { -255, s300.substr(0, 255), false },
		    { 45, s300.substr(255), false }, { 0, "", true } } },
		{ "abc CR LF", "abc\r\n", 256,
		  { { 3, "abc", false }, { 0, "", true } } },
		{ "CR inside", "a\rb\n", 256, { { 2, "ab", false } } },
		{ "CRs only", "\r\r\r\n", 256,
		  { { 0, "", false }, { 0, "", true } } },
		{ "NUL and 0xFF", "a\0b\xff" "c\n"s, 256,
		  { { 5, "a\0b\xff" "c"s, false }, { 0, "", true } } },
		{ "0xFF ends nothing", "\xff\xff\nq"s, 256,
		  { { 2, "\xff\xff", false }, { 1, "q", true } } },
		{ "NUL first", "\0\0\n"s, 256, { { 2, "\0\0"s, false } } },
		{ "empty stream", "", 256,
		  { { 0, "", true }, { 0, "", true } } },
		{ "last line without LF", "xyz", 256,
		  { { 3, "xyz", true }, { 0, "", true } } },
		{ "two line feeds", "\n\n", 256,
		  { { 0, "", false }, { 0, "", false }, { 0, "", true } } },
		{ "size 1: room for the NUL only", "ab\n", 1,
		  { { 0, "", false }, { 0, "", false } } },
		{ "size 0", "ab\n", 0, { { 0, "", false } } },
		{ "size 2", "ab\n", 2,
		  { { -1, "a", false }, { -1, "b", false }, { 0, "", false },
		    { 0, "", true } } },
		{ "size 2 empty line", "\nc", 2,
		  { { 0, "", false }, { -1, "c", false }, { 0, "", true } } },
		{ "size 3", "ab\ncd", 3,
		  { { -2, "ab", false }, { 0, "", false }, { -2, "cd", false },
		    { 0, "", true } } },
		{ "size 3 short line", "a\r\n", 3,
		  { { 1, "a", false }, { 0, "", true } } },
		{ "size 3 CRs", "a\r\rb\r\n", 3,
		  { { -2, "ab", false }, { 0, "", false }, { 0, "", true } } },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		FILE *f = Stream(row.input);
		ASSERT_NE(f, nullptr);
		for (size_t i = 0; i < row.calls.size(); i++) {
			const LineCall &want = row.calls[i];
			// Guard bytes after the buffer catch a write past its size.
			std::vector<char> buf(row.size + 16, '\xA5');

			SCOPED_TRACE("call " + std::to_string(i + 1));
			int r = ReadLine(f, buf.data(), row.size);
			EXPECT_EQ(r, want.result);
			size_t n = r < 0 ? -r : r;
			// Size 0 leaves no room even for the NUL.
			ASSERT_LE(n, row.size > 0 ? (size_t)row.size - 1 : 0);
			EXPECT_EQ(Printable(std::string(buf.data(), n)),
			    Printable(want.text));
			if (row.size > 0) {
				EXPECT_EQ(buf[n], 0);
			}
			EXPECT_EQ(feof(f) != 0, want.eof);
			for (size_t g = row.size; g < buf.size(); g++)
				ASSERT_EQ(buf[g], '\xA5') << "byte " << g;
		}
		fclose(f);
	}
}

struct Words {
	const char *name;
	std::string line;
	int count;
	std::vector<std::string> words;
};

TEST(Parsex, WordsOfEachLine)
{
	const std::string a300(300, 'a'), b300(300, 'b');
	const std::string a255(255, 'a'), b255(255, 'b');
	const Words rows[] = {
		{ "empty line", "", 1, { "" } },
		{ "three blanks", "   ", 0, {} },
		{ "blanks round a number", "  12.5  ", 1, { "12.5" } },
		{ "commas", "12.5,13.0, 14", 3, { "12.5", "13.0", "14" } },
		{ "blank and tab", "1 2\t3", 3, { "1", "2", "3" } },
		{ "two commas", "1,,2", 3, { "1", "", "2" } },
		{ "leading comma", ",5", 2, { "", "5" } },
		{ "blanks round a comma", "1 , 2", 3, { "1", "", "2" } },
		{ "trailing comma", "5,", 1, { "5" } },
		{ "two trailing commas", "5,,", 2, { "5", "" } },
		{ "blanks and a leading comma", "  ,5", 2, { "", "5" } },
		{ "delimited then comma", "'a b',7", 2, { "a b", "7" } },
		{ "delimited, blank, comma", "'a b' ,7", 3, { "a b", "", "7" } },
		{ "delimited, two commas", "'a',,b", 3, { "a", "", "b" } },
		{ "no separator after delimiter", "'ab'cd", 2, { "ab", "cd" } },
		{ "delimiter inside a plain word", "ab'cd", 1, { "ab'cd" } },
		{ "unclosed delimiter", "'abc", 1, { "abc" } },
		{ "full stop delimits", ".5 .7", 2, { "5 ", "7" } },
		{ "parenthesis closes only itself", "(12) 3", 1, { "12) 3" } },
		{ "signs start words", "-3.5 +2", 2, { "-3.5", "+2" } },
		{ "delimited word may start blank", "' a' b", 2, { " a", "b" } },
		{ "empty delimited word", "\"\" x", 2, { "", "x" } },
		{ "at sign delimits, A starts", "@a b@ Ab", 2, { "a b", "Ab" } },
		{ "control byte delimits", "\x01x,y\x01z", 2, { "x,y", "z" } },
		{ "double-byte word", "\x82\xA0" "abc 1", 2,
		  { "\x82\xA0" "abc", "1" } },
		{ "19 words", Numbers(1, 19), 19, NumberWords(1, 19) },
		{ "20 words", Numbers(1, 20), 20, NumberWords(1, 20) },
		{ "21 words", Numbers(1, 21), 20, NumberWords(1, 20) },
		{ "22 words", Numbers(1, 22), 20, NumberWords(1, 20) },
		{ "20 words and a comma", Numbers(1, 20) + " ,", 20,
		  NumberWords(1, 20) },
		{ "20 words by commas", Numbers(1, 22, ","), 20,
		  NumberWords(1, 20) },
		{ "255-character word", a255 + " x", 2, { a255, "x" } },
		{ "256-character word", a255 + "a x", 2, { a255, "x" } },
		{ "long plain word", "1 " + a300 + " 2 3", 4,
		  { "1", a255, "2", "3" } },
		{ "long plain word and comma", a300 + ",x", 2, { a255, "x" } },
		{ "long delimited word", "'" + b300 + "' next", 2,
		  { b255, "next" } },
		{ "long delimited word and comma", "#" + b300 + "#,y", 2,
		  { b255, "y" } },
		{ "long unclosed word", "\"" + b300 + " " + a300, 1,
		  { ("" + b300 + " " + a300).substr(0, 255) } },
		{ "long words at the cap", Numbers(1, 19) + " " + a300 + " " +
		  b300, 20, [] {
			std::vector<std::string> v = NumberWords(1, 19);
			v.push_back(std::string(255, 'a'));
			return v;
		  }() },
	};

	for (const Words &row : rows) {
		SCOPED_TRACE(row.name);
		// The line ends at its NUL, whatever follows in the buffer.
		const std::string buf = row.line + EndTail;
		FillPar();
		ExpectPar(Parsex(buf.c_str()), row.words);
		// A second call on the same line gives the same table.
		ExpectPar(Parsex(buf.c_str()), row.words);
	}
}

struct CommandRow {
	const char *name;
	std::string line;
	int count;
	std::string command;
	std::vector<std::string> params;
};

TEST(Parse, CommandWordAndParameters)
{
	const std::string c31 = Pattern(31), c40 = Pattern(40);
	const std::string p255(255, 'p'), p300(300, 'p');
	// 19 parameters and a 20th cut to its slot.
	std::vector<std::string> capped = NumberWords(1, 19);
	capped.push_back(p255);
	const CommandRow rows[] = {
		{ "bare command", "STOP", 0, "STOP", {} },
		{ "tab after the command", "CMD\tA", 1, "CMD", { "A" } },
		{ "trailing blank", "CMD A ", 2, "CMD", { "A", "" } },
		{ "commas skipped", "CMD A,,B", 2, "CMD", { "A", "B" } },
		{ "commas in the command", "SET,1,2", 0, "SET,1,2", {} },
		{ "closing delimiter reopens", "CMD 'abc' 5", 2, "CMD",
		  { "abc", " 5" } },
		{ "empty text after delimiter", "CMD 'abc'", 2, "CMD",
		  { "abc", "" } },
		{ "two delimited", "CMD 'a''b'", 4, "CMD", { "a", "", "b", "" } },
		{ "digit first", "1abc", 0, "", {} },
		{ "underscore first", "_a b", 1, "_a", { "b" } },
		{ "empty line", "", 0, "", {} },
		{ "blank first", " CMD a", 0, "", {} },
		{ "tab first", "\tCMD a", 0, "", {} },
		{ "sign first", "-a b", 0, "", {} },
		{ "comma first", ",a b", 0, "", {} },
		{ "command and blanks", "CMD   ", 1, "CMD", { "" } },
		{ "command and separators", "CMD ,\t,", 1, "CMD", { "" } },
		{ "one letter", "A", 0, "A", {} },
		{ "small z", "z x", 1, "z", { "x" } },
		{ "capital Z", "Z\tx", 1, "Z", { "x" } },
		{ "left bracket", "[a b", 1, "[a", { "b" } },
		{ "backslash", "\\a b", 1, "\\a", { "b" } },
		{ "right bracket", "]a b", 1, "]a", { "b" } },
		{ "circumflex", "^a b", 1, "^a", { "b" } },
		{ "grave accent", "`a b", 1, "`a", { "b" } },
		{ "at sign", "@a b", 0, "", {} },
		{ "left brace", "{a b", 0, "", {} },
		{ "tilde", "~a b", 0, "", {} },
		{ "high byte 0x80", "\x80" "a b", 0, "", {} },
		{ "high byte 0x82", "\x82\xA0 b", 0, "", {} },
		{ "high byte 0xFF", "\xff" "a b", 0, "", {} },
		{ "high byte as parameter", "CMD \x82\xA0x y", 2, "CMD",
		  { "\x82\xA0x", "y" } },
		{ "unclosed delimiter", "CMD 'abc d", 1, "CMD", { "abc d" } },
		{ "plain then delimited", "CMD a 'b c'", 3, "CMD",
		  { "a", "b c", "" } },
		{ "tabs", "CMD\t\tA\t", 2, "CMD", { "A", "" } },
		{ "31-character command", c31 + " x", 1, c31, { "x" } },
		{ "32-character command", Pattern(32) + " x", 1, c31, { "x" } },
		{ "long command", c40 + " x y", 2, c31, { "x", "y" } },
		{ "long bare command", c40, 0, c31, {} },
		{ "long command with commas", c40 + ",1,2 z", 1, c31, { "z" } },
		{ "255-character parameter", "CMD " + p255 + " y", 2, "CMD",
		  { p255, "y" } },
		{ "long parameter", "CMD " + p300 + " y", 2, "CMD",
		  { p255, "y" } },
		{ "long parameter and comma", "CMD " + p300 + ",y", 2, "CMD",
		  { p255, "y" } },
		{ "long delimited parameter", "CMD '" + p300 + "' y", 2, "CMD",
		  { p255, " y" } },
		{ "19 parameters", "CMD " + Numbers(1, 19), 19, "CMD",
		  NumberWords(1, 19) },
		{ "20 parameters", "CMD " + Numbers(1, 20), 20, "CMD",
		  NumberWords(1, 20) },
		{ "22 parameters", "CMD " + Numbers(1, 22), 20, "CMD",
		  NumberWords(1, 20) },
		{ "20 parameters and a blank", "CMD " + Numbers(1, 20) + " ", 20,
		  "CMD", NumberWords(1, 20) },
		{ "19 parameters and a blank", "CMD " + Numbers(1, 19) + " ", 20,
		  "CMD", [] {
			std::vector<std::string> v = NumberWords(1, 19);
			v.push_back("");
			return v;
		  }() },
		{ "parameters by commas", "CMD " + Numbers(1, 22, ","), 20, "CMD",
		  NumberWords(1, 20) },
		{ "long last parameter", "CMD " + Numbers(1, 19) + " " + p300, 20,
		  "CMD", capped },
		{ "long delimited last parameter", "CMD " + Numbers(1, 19) + " '" + p300,
		  20, "CMD", capped },
	};

	for (const CommandRow &row : rows) {
		SCOPED_TRACE(row.name);
		// Leave a command word and full slots from earlier calls.
		ASSERT_EQ(Parse("PREVIOUS x"), 1);
		FillPar();
		const std::string buf = row.line + EndTail;
		ExpectPar(Parse(buf.c_str()), row.params);
		ASSERT_NE(memchr(Command, 0, sizeof Command), nullptr);
		EXPECT_EQ(std::string(Command), row.command);
		EXPECT_EQ(buf, row.line + EndTail);
	}
}

struct BlockCall {
	bool null;
	std::string text;
	bool eof;	// end-of-file indicator after the call
};

TEST(ReadLineX, LinesOfAnyLength)
{
	const std::string s255 = Pattern(255), s510 = Pattern(510, 3);
	const std::string s600 = Pattern(600), s2000 = Pattern(2000, 7);
	std::string nuls = Pattern(600, 11);
	for (size_t i : { 0, 1, 254, 255, 256, 509, 510, 599 })
		nuls[i] = 0;
	nuls[300] = '\xff';
	struct Row {
		const char *name;
		std::string input;
		std::vector<BlockCall> calls;
	} rows[] = {
		{ "600 characters", s600 + "\nnext\n",
		  { { false, s600, false }, { false, "next", false },
		    { false, "", true }, { true, "", true } } },
		{ "exactly 255 characters", s255 + "\nB\n",
		  { { false, s255, false }, { false, "B", false } } },
		{ "exactly 510 characters", s510 + "\nB",
		  { { false, s510, false }, { false, "B", true },
		    { true, "", true } } },
		{ "2000 characters CR LF", s2000 + "\r\nz\r\n",
		  { { false, s2000, false }, { false, "z", false } } },
		{ "2000 characters with CRs", WithCRs(s2000) + "\n",
		  { { false, s2000, false }, { false, "", true } } },
		{ "empty lines in the middle", "a\n\n\nb\n",
		  { { false, "a", false }, { false, "", false },
		    { false, "", false }, { false, "b", false },
		    { false, "", true }, { true, "", true } } },
		{ "empty line after a long one", s600 + "\n\n" + s255 + "\n",
		  { { false, s600, false }, { false, "", false },
		    { false, s255, false } } },
		{ "empty lines at the end", "a\n\n\n",
		  { { false, "a", false }, { false, "", false },
		    { false, "", false }, { false, "", true },
		    { true, "", true } } },
		{ "empty stream", "",
		  { { false, "", true }, { true, "", true } } },
		{ "last line without LF", "abc",
		  { { false, "abc", true }, { true, "", true } } },
		{ "long last line without LF", s600,
		  { { false, s600, true }, { true, "", true } } },
		{ "255 characters without LF", s255,
		  { { false, s255, true }, { true, "", true } } },
		{ "NUL bytes in a long line", nuls + "\nx\n",
		  { { false, nuls, false }, { false, "x", false } } },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		FILE *f = Stream(row.input);
		ASSERT_NE(f, nullptr);
		for (size_t i = 0; i < row.calls.size(); i++) {
			const BlockCall &want = row.calls[i];
			int length = -7;

			SCOPED_TRACE("call " + std::to_string(i + 1));
			char *block = ReadLineX(f, &length);
			if (want.null) {
				EXPECT_EQ(block, nullptr);
				EXPECT_EQ(length, 0);
			} else if (block == nullptr) {
				ADD_FAILURE() << "null block";
			} else {
				EXPECT_EQ((size_t)length, want.text.size());
				if ((size_t)length == want.text.size()) {
					EXPECT_EQ(memcmp(block, want.text.data(),
					    length), 0) << Printable(block);
					EXPECT_EQ(block[length], 0);
				}
				EXPECT_EQ(memchr(block, '\r', want.text.size() + 1),
				    nullptr);
			}
			free(block);
			EXPECT_EQ(feof(f) != 0, want.eof);
		}
		fclose(f);
	}
}

TEST(ReadLineX, NullWhenTheStreamHasEndedOrFailed)
{
	FILE *f = Stream("line\n");
	int length = 99;

	ASSERT_NE(f, nullptr);
	// Read to the end so that the indicator is set before the call.
	while (getc(f) != EOF)
		;
	ASSERT_TRUE(feof(f));
	EXPECT_EQ(ReadLineX(f, &length), nullptr);
	EXPECT_EQ(length, 0);
	fclose(f);

	// A stream whose reads fail must not yield empty lines for ever.
	const char *name = "readlinex-write-only.tmp";
	FILE *w = fopen(name, "w");
	ASSERT_NE(w, nullptr);
	fputs("text\n", w);
	fflush(w);
	rewind(w);
	if (getc(w) != EOF || !ferror(w)) {
		fclose(w);
		remove(name);
		GTEST_SKIP() << "reading a write-only stream does not fail here";
	}
	length = 99;
	EXPECT_EQ(ReadLineX(w, &length), nullptr);
	EXPECT_EQ(length, 0);
	fclose(w);
	remove(name);
}

TEST(LowerChrx, CapitalsOnlyAndNeverPastTheEnd)
{
	struct Row {
		const char *name;
		std::string in, out;	// up to the terminating NUL
	} rows[] = {
		{ "mixed text", "Hello WORLD 12", "hello world 12" },
		{ "all capitals", "ABCDEFGHIJKLMNOPQRSTUVWXYZ",
		  "abcdefghijklmnopqrstuvwxyz" },
		{ "small letters", "abcxyz", "abcxyz" },
		{ "neighbours of the capitals", "@A[Z`a{", "@a[z`a{" },
		{ "second bytes", "\x82" "A" "\x82" "B", "\x82" "A" "\x82" "B" },
		{ "two lead bytes", "\x82\x82" "A", "\x82\x82" "a" },
		{ "three lead bytes", "\x80\x80\x80" "AB", "\x80\x80\x80" "Ab" },
		{ "0xFF lead byte", "\xff" "AB", "\xff" "Ab" },
		{ "0x7F is no lead byte", "\x7f" "AB", "\x7f" "ab" },
		{ "lead byte before the end", "ABC\x82", "abc\x82" },
		{ "empty", "", "" },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(row.name);
		// Capitals and a lead byte beyond the NUL must stay as they are.
		const std::string tail = "\0QR\x82ST"s;
		std::string buf = row.in + tail;
		std::string want = row.out + tail;

		LowerChrx(&buf[0]);
		EXPECT_EQ(Printable(buf), Printable(want));
	}

	// The scan stops at the first NUL even inside a longer buffer.
	std::string buf = "AB\0CD\0"s;
	LowerChrx(&buf[0]);
	EXPECT_EQ(buf, "ab\0CD\0"s);
}
