// The command line read into the settings: clamps, saturation, the mode
// that decides the role of every positional slot, and the refused lines.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "settings.h"

namespace {


struct Outcome {
	int code;
	std::string out, err;
};

// Starts every field as a fresh process has it.
void
Reset(void)
{
	Voff = 1;
	Line = Word = Loop = 0;
	Diff = ValueC = Num();
	Inverse = 0;
	ParmCount = 0;
	memset(Parms, 0, sizeof Parms);
}

Outcome
Read(std::vector<std::string> args)
{
	std::vector<char *> argv;
	std::string name = "torquelin";
	Outcome o;

	argv.push_back(name.data());
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	o.code = ReadSettings((int)argv.size() - 1, argv.data());
	o.out = testing::internal::GetCapturedStdout();
	o.err = testing::internal::GetCapturedStderr();
	return o;
}

std::string
Show(const std::vector<std::string> &args)
{
	std::string s;

	for (const std::string &a : args) {
		s += s.empty() ? "" : " ";
		s += a.size() > 40 ? a.substr(0, 20) + "...(" +
		    std::to_string(a.size()) + ")" : "\"" + a + "\"";
	}
	return s;
}

}	// namespace

class Settings : public ::testing::Test {
protected:
	void SetUp() override { Reset(); }
};

TEST_F(Settings, OptionValues)
{
	const std::string zeros(5000, '0');
	struct Row {
		std::vector<std::string> args;
		int voff, line, word, loop;
		double diff, value;
		int inverse;
	} rows[] = {
		{ { "W=1", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "W=0", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "W=-3", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "W=2", "f" }, 1, 0, 1, 0, 0, 0, 0 },
		{ { "w=5", "f" }, 1, 0, 4, 0, 0, 0, 0 },
		{ { "L=-2", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "L=3", "f" }, 1, 3, 0, 0, 0, 0, 0 },
		{ { "l=7", "f" }, 1, 7, 0, 0, 0, 0, 0 },
		{ { "X=-1", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "x=4", "f" }, 1, 0, 0, 4, 0, 0, 0 },
		{ { "D=abc", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "D=-1.5", "f" }, 1, 0, 0, 0, -1.5f, 0, 0 },
		{ { "d=  2.25xyz", "f" }, 1, 0, 0, 0, 2.25f, 0, 0 },
		{ { "L=", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "L=12abc", "f" }, 1, 12, 0, 0, 0, 0, 0 },
		{ { "L=3", "L=5", "f" }, 1, 5, 0, 0, 0, 0, 0 },
		{ { "V=12.5", "f" }, 0, 0, 0, 0, 0, 12.5f, 0 },
		{ { "f", "v=-0.25" }, 0, 0, 0, 0, 0, -0.25f, 0 },
		{ { "V=abc", "f" }, 0, 0, 0, 0, 0, 0, 0 },
		{ { "I", "f" }, 1, 0, 0, 0, 0, 0, 1 },
		{ { "f", "i" }, 1, 0, 0, 0, 0, 0, 1 },
		{ { "Inv", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		// Out of range: saturated, never wrapped.
		{ { "L=99999999999", "f" }, 1, INT_MAX, 0, 0, 0, 0, 0 },
		{ { "L=-99999999999", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "L=2147483647", "f" }, 1, INT_MAX, 0, 0, 0, 0, 0 },
		{ { "W=99999999999", "f" }, 1, 0, INT_MAX - 1, 0, 0, 0, 0 },
		{ { "W=-2147483648", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "W=-99999999999999999999999", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "X=99999999999999999999999", "f" }, 1, 0, 0, INT_MAX, 0, 0, 0 },
		{ { "D=1e309", "f" }, 1, 0, 0, 0, DBL_MAX, 0, 0 },
		{ { "D=-1e309", "f" }, 1, 0, 0, 0, -DBL_MAX, 0, 0 },
		{ { "V=1e39", "f" }, 0, 0, 0, 0, 0, 1e39, 0 },
		{ { "V=1765100060", "f" }, 0, 0, 0, 0, 0, 1765100060, 0 },
		{ { "D=0.4", "f" }, 1, 0, 0, 0, 0.4, 0, 0 },
		{ { "D=1e-300", "f" }, 1, 0, 0, 0, 1e-300, 0, 0 },
		{ { "D=1e-400", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		// Values of any length.
		{ { "L=" + zeros + "5", "f" }, 1, 5, 0, 0, 0, 0, 0 },
		{ { "D=1" + zeros, "f" }, 1, 0, 0, 0, DBL_MAX, 0, 0 },
		{ { "D=0." + zeros + "1", "f" }, 1, 0, 0, 0, 0, 0, 0 },
		{ { "V=2." + zeros + "1", "f" }, 0, 0, 0, 0, 0, 2.0f, 0 },
		{ { "X=-" + zeros + "1", "f" }, 1, 0, 0, 0, 0, 0, 0 },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(Show(row.args));
		Reset();
		Outcome o = Read(row.args);
		EXPECT_EQ(o.code, 0);
		EXPECT_EQ(o.out, "");
		EXPECT_EQ(o.err, "");
		EXPECT_EQ(Voff, row.voff);
		EXPECT_EQ(Line, row.line);
		EXPECT_EQ(Word, row.word);
		EXPECT_EQ(Loop, row.loop);
		EXPECT_EQ(Dbl(&Diff), row.diff);
		EXPECT_EQ(Dbl(&ValueC), row.value);
		EXPECT_EQ(Inverse, row.inverse);
	}
}

TEST_F(Settings, PositionalSlotsAndRoles)
{
	const std::string n255(255, 'n');
	struct Row {
		std::vector<std::string> args;
		int voff;
		std::vector<std::string> parms;
		const char *file2, *err, *ret, *log;
	} rows[] = {
		{ { "a", "b", "c", "d" }, 1, { "a", "b", "c", "d" },
		  "b", "c", "d", "Plomt.log" },
		{ { "a", "b", "c", "d", "e" }, 1, { "a", "b", "c", "d", "e" },
		  "b", "c", "d", "e" },
		{ { "a", "b", "c", "v=12.5" }, 0, { "a", "b", "c" },
		  "b", "b", "c", "Plomt.log" },
		{ { "a", "b", "c", "d", "v=12.5" }, 0, { "a", "b", "c", "d" },
		  "b", "b", "c", "d" },
		{ { "V=1", "a", "b", "c", "d", "e" }, 0,
		  { "a", "b", "c", "d", "e" }, "b", "b", "c", "d" },
		{ { "a" }, 1, { "a" }, "", "", "", "Plomt.log" },
		{ { "Inv", "i", "I" }, 1, { "Inv" }, "", "", "", "Plomt.log" },
		{ { "", "b" }, 1, { "", "b" }, "b", "", "", "Plomt.log" },
		{ { "a", "", "c", "d", "" }, 1, { "a", "", "c", "d", "" },
		  "", "c", "d", "Plomt.log" },
		{ { "=x", "x", "ab" }, 1, { "=x", "x", "ab" },
		  "x", "ab", "", "Plomt.log" },
		{ { "1", "2", "3", "4", "5", "i", "L=2" }, 1,
		  { "1", "2", "3", "4", "5" }, "2", "3", "4", "5" },
		{ { n255, "b" }, 1, { n255, "b" }, "b", "", "", "Plomt.log" },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(Show(row.args));
		Reset();
		Outcome o = Read(row.args);
		ASSERT_EQ(o.code, 0);
		EXPECT_EQ(o.out, "");
		EXPECT_EQ(Voff, row.voff);
		ASSERT_EQ((size_t)ParmCount, row.parms.size());
		for (int k = 0; k < 5; k++) {
			SCOPED_TRACE("slot " + std::to_string(k));
			ASSERT_NE(memchr(Parms[k], 0, sizeof Parms[k]), nullptr);
			EXPECT_EQ(std::string(Parms[k]),
			    k < ParmCount ? row.parms[k] : "");
		}
		EXPECT_EQ(std::string(CompareFile1()), row.parms[0]);
		if (Voff) {
			EXPECT_EQ(std::string(CompareFile2()), row.file2);
		}
		EXPECT_EQ(std::string(ErrProc()), row.err);
		EXPECT_EQ(std::string(RetProc()), row.ret);
		EXPECT_EQ(std::string(LogFile()), row.log);
	}
}

TEST_F(Settings, RefusedLines)
{
	const std::string tooMany = "\n Too many Parameters error.\n";
	const std::string n256(256, 'n'), n1000(1000, 'm');
	struct Row {
		std::vector<std::string> args;
		std::string out, err;	// out: what comes before the usage
		int parmCount, line;	// what was read before the refusal
	} rows[] = {
		{ {}, "", "", 0, 0 },
		{ { "a=b" }, "", "\n Parameter error>a=b<\n", 0, 0 },
		{ { "i=1", "f" }, "", "\n Parameter error>i=1<\n", 0, 0 },
		{ { "==" }, "", "\n Parameter error>==<\n", 0, 0 },
		{ { "f", "Q=1", "L=4" }, "", "\n Parameter error>Q=1<\n", 1, 0 },
		{ { "L=2", "Z=", "L=4" }, "", "\n Parameter error>Z=<\n", 0, 2 },
		{ { "1", "2", "3", "4", "5", "6" }, tooMany, "", 5, 0 },
		{ { "v=1", "1", "2", "3", "4", "5", "6", "L=3" }, tooMany,
		  "", 5, 0 },
		{ { "1", "2", "3", "4", "5", n256 }, tooMany, "", 5, 0 },
		{ { n256 }, "", "\n Parameter error>" + n256 + "<\n", 0, 0 },
		{ { "a", n1000, "L=4" }, "",
		  "\n Parameter error>" + n1000 + "<\n", 1, 0 },
	};

	for (const Row &row : rows) {
		SCOPED_TRACE(Show(row.args));
		Reset();
		Outcome o = Read(row.args);
		EXPECT_EQ(o.code, 5);
		// The usage's own text is the black-box test's to pin.
		EXPECT_EQ(o.out.substr(0, row.out.size()), row.out);
		EXPECT_GT(o.out.size(), row.out.size() + 100);
		EXPECT_EQ(o.err, row.err);
		EXPECT_EQ(ParmCount, row.parmCount);
		EXPECT_EQ(Line, row.line);
		// A refused argument never lands in a slot.
		for (int k = 0; k < 5; k++) {
			ASSERT_NE(memchr(Parms[k], 0, sizeof Parms[k]), nullptr);
			EXPECT_LT(strlen(Parms[k]), 256u);
			EXPECT_EQ(k < ParmCount, Parms[k][0] != 0) << "slot " << k;
		}
	}
}

TEST(Conversion, RealAndWholeSaturate)
{
	struct RealRow {
		const char *text;
		double want;
	} reals[] = {
		{ "12.5", 12.5 },
		{ "  -0.75e1x", -7.5 },
		{ "", 0 },
		{ "abc", 0 },
		{ ".5", 0.5 },
		{ "16777217", 16777217 },
		{ "10.4", 10.4 },
		{ "123456789012345678", 123456789012345678.0 },
		{ "-1.5e-30", -1.5e-30 },
		{ "9.87654321e250", 9.87654321e250 },
		{ "1.7976931348623157e308", DBL_MAX },
		{ "1.7976931348623158e308", DBL_MAX },
		{ "1.7976931348623159e308", DBL_MAX },
		{ "1.8e308", DBL_MAX },
		{ "-1.8e308", -DBL_MAX },
		{ "1e400", DBL_MAX },
		{ "-1e400", -DBL_MAX },
		{ "1e-400", 0 },
		{ "4.9e-324", 4.9e-324 },
		{ "2e-324", 0 },
		// Decimal only: no hexadecimal, no infinity, no NaN.
		{ "0x1A", 0 },
		{ "-0X1p3", 0 },
		{ "0x1.ffffffp127", 0 },
		{ "inf", 0 },
		{ "-inf", 0 },
		{ "infinity", 0 },
		{ "nan", 0 },
		{ "NAN(1)", 0 },
		{ "info", 0 },
		{ "nanosec", 0 },
		{ "1e5x", 100000 },
		{ "1e", 1 },
		{ "2E+", 2 },
		{ "-.5e1", -5 },
		{ " +7", 7 },
		{ "\t\n-3", -3 },
		{ "0x", 0 },
		{ "10x5", 10 },
		{ "-.", 0 },
		{ "+-1", 0 },
		{ ".e1", 0 },
	};
	struct WholeRow {
		const char *text;
		int want;
	} wholes[] = {
		{ "42", 42 },
		{ "  -12abc", -12 },
		{ "", 0 },
		{ "x1", 0 },
		{ "2147483647", INT_MAX },
		{ "2147483648", INT_MAX },
		{ "-2147483648", INT_MIN },
		{ "-2147483649", INT_MIN },
		{ "99999999999999999999999999", INT_MAX },
		{ "-99999999999999999999999999", INT_MIN },
		{ "3.9", 3 },
	};

	for (const RealRow &row : reals) {
		SCOPED_TRACE(row.text);
		Num n = Real(row.text);
		EXPECT_EQ(Dbl(&n), row.want);
	}
	for (const WholeRow &row : wholes) {
		SCOPED_TRACE(row.text);
		EXPECT_EQ(Whole(row.text), row.want);
	}
}

// |a - b| > m as decimal arithmetic has it, where double precision errs
// either way; and the difference a command is told.
TEST(Conversion, AboveIsDecimal)
{
	struct Row {
		const char *a, *b, *m;
		int above;
		const char *apart;
	} rows[] = {
		{ "10.4", "10", "0.4", 0, "0.4" },
		{ "10.4", "10", "0.39999999999999", 1, "0.4" },
		{ "0.3", "0.1", "0.2", 0, "0.2" },
		{ "1765100060", "1765100000", "30", 1, "60" },
		{ "1.00000003e12", "1e12", "29999.9", 1, "30000" },
		{ "1.00000003e12", "1e12", "3e4", 0, "30000" },
		{ "999999999999999", "-999999999999999", "1999999999999997", 1,
		  "1999999999999998" },
		{ "-2.5", "2.5", "5", 0, "5" },
		{ "0", "0", "0", 0, "0" },
		{ "1e-20", "0", "0", 1, "1e-20" },
		{ "10", "10", "-1", 1, "0" },
		{ "10", "10", "-1e-300", 1, "0" },
		// Too far apart for 64 bits, within 76 digits.
		{ "9999999999999999999", "0", "9999999999999999999", 0, "1e+19" },
		{ "9999999999999999999", "0", "9999999999999999998", 1, "1e+19" },
		{ "5e20", "-0.5", "5e20", 1, "5e+20" },
		{ "5e20", "0.5", "5e20", 0, "5e+20" },
		{ "1e30", "1e-30", "1e30", 0, "1e+30" },
		{ "1e30", "-1e-30", "1e30", 1, "1e+30" },
		{ "123456789012345678e20", "123456789012345677e20", "99999999999999999e3", 1,
		  "1e+20" },
		// Beyond: double precision.
		{ "1e100", "-1e-100", "1e100", 0, "1e+100" },
		{ "1e309", "-1e309", "1e308", 1, "inf" },
		{ "1e309", "1e310", "0", 0, "0" },
	};
	char buf[32];

	for (const Row &row : rows) {
		SCOPED_TRACE(std::string(row.a) + " " + row.b + " " + row.m);
		Num a = Real(row.a), b = Real(row.b), m = Real(row.m);
		EXPECT_EQ(Above(&a, &b, &m), row.above);
		EXPECT_EQ(Above(&b, &a, &m), row.above);
		PutReal(buf, sizeof buf, Apart(&a, &b));
		EXPECT_STREQ(buf, row.apart);
	}
}

// Enough digits to tell any two doubles apart, and no more.
TEST(Conversion, PutRealReadsBack)
{
	struct Row {
		double v;
		const char *text;
	} rows[] = {
		{ 10.4, "10.4" },
		{ 20511312, "20511312" },
		{ 0.1 + 0.2, "0.30000000000000004" },
		{ 123456789012345678.0, "1.2345678901234568e+17" },
		{ DBL_MAX, "1.7976931348623157e+308" },
		{ 0, "0" },
	};
	char buf[32];

	for (const Row &row : rows) {
		EXPECT_EQ(PutReal(buf, sizeof buf, row.v), (int)strlen(row.text));
		EXPECT_STREQ(buf, row.text);
	}
}
