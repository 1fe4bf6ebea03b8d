// The tool as scripts see it: exit codes, output bytes, the status log and
// the files left behind.
#include <string>
#include <vector>

#include "harness.h"

static const char Usage[] =
    "\n"
    "\tUse:Torquelin [i|I] v|V=value d|D=XX l|L=Line-No.\n"
    "                  w|W=Word-No compare-file Err-Proc\n"
    "                  Ret-Proc [Log-file].\n"
    "        for one value compare.\n"
    "\n"
    "\tUse:Torquelin [i|I] d|D=XX l|L=Line-No. w|W=Word-No\n"
    "                  x|X=YY compare-file-1 compare-file-2\n"
    "                   Err-Proc Ret-Proc [Log-file].\n"
    "        for two files compare.\n"
    "\n"
    "        i|I         Set inverse alarm condition. Means same\n"
    "                    value will submit Err-Proc.\n"
    "        v|V value   Compare value, in case of\n"
    "                    compare value compare value is(are)\n"
    "                    bigger than the defined margin\n"
    "\t\t\t\t\tXX, Err-Proc will be submitted.\n"
    "\t\td|D XX      margin of value difference.\n"
    "\t\tl|L LIne-No. Define where the compare value\n"
    "\t\tw|W Word-No comes from Word-No of Line-No\n"
    "\t\t            of compare file.\n"
    "                    (start to compare for two files mode\n"
    "                    and loop YY times.)\n"
    "        x|X YY      define the do loop counter for\n"
    "                    two files compare.\n"
    "        Log-file    Log file for keep last status.\n"
    "                    default name is Plomt.log\n"
    "        Return Value:  0 Normal\n"
    "                      -1 Return to Normal\n"
    "                       1 First Alarm\n"
    "                       2 Continue Alarm\n"
    "                       5 Error return\n"
    "\n"
    "\n"
    ">";

using CommandLine = ToolTest;

// Every way out before the run: usage on standard output, exit 5, no file.
TEST_F(CommandLine, RefusedLinesPrintUsageAndTouchNothing)
{
	const std::string tooMany = "\n Too many Parameters error.\n";
	const std::string longName(256, 'n');
	struct Row {
		std::vector<std::string> args;
		std::string out, err;
	} rows[] = {
		{ {}, Usage, "" },
		{ { "a=b" }, Usage, "\n Parameter error>a=b<\n" },
		{ { "i=1", "f" }, Usage, "\n Parameter error>i=1<\n" },
		{ { "f", "Q=1", "R=2" }, Usage, "\n Parameter error>Q=1<\n" },
		{ { "1", "2", "3", "4", "5", "6" }, tooMany + Usage, "" },
		{ { "v=1", "1", "2", "3", "4", "5", "6" }, tooMany + Usage, "" },
		{ { longName }, Usage, "\n Parameter error>" + longName + "<\n" },
	};
	for (const Row &row : rows) {
		for (Input in : { Input::Closed, Input::SilentPipe }) {
			Result r = Run(row.args, in);
			SCOPED_TRACE(row.args.empty() ? "(none)" : row.args[0]);
			EXPECT_FALSE(r.hung);
			EXPECT_EQ(r.code, 5);
			EXPECT_EQ(r.out, row.out);
			EXPECT_EQ(r.err, row.err);
			EXPECT_TRUE(List().empty());
		}
	}
}

// Standard input that is open but never delivers a byte must not hold up
// a run that has work to do, nor one that only prints the usage.
TEST_F(CommandLine, SilentInputNeverHoldsARun)
{
	struct Row {
		std::vector<std::string> args;
		int code;
		std::string ran;
	} rows[] = {
		{ { "v=10", "D=0.5", "L=1", "d", E, R }, 0, "" },
		{ { "v=1", "D=0.5", "L=1", "d", E, R }, 1, "E" },
		{ { "D=0.5", "L=1", "d", "old", E, R }, 5, "" },
		{ { "v=1", "L=1", "missing" }, 5, "" },
		{ { "q=1", "d" }, 5, "" },
	};
	int n = 0;
	for (const Row &row : rows) {
		std::string d = "r" + std::to_string(n++);
		SCOPED_TRACE(row.args[0]);
		MakeDir(d);
		Write(d + "/d", "10\n");
		Result r = Run(row.args, Input::SilentPipe, d, 20);
		EXPECT_FALSE(r.hung);
		EXPECT_EQ(r.code, row.code);
		EXPECT_EQ(Events(d + "/ev"), row.ran);
	}
}
