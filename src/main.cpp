// torquelin: watch a number in a text file and raise an alarm when it
// moves by more than a margin.
#include <cstdio>

#include "filepolicy.h"
#include "platform.h"
#include "run.h"
#include "settings.h"
#include "status.h"

int
main(int argc, char **argv)
{
	int form;

	Prepare(Cleanup);
	form = Form(argc, argv);

	if (form == HelpForm) {
		fputs(Help, stdout);
		fputs(More, stdout);
		return 0;
	}
	if (form == VersionForm) {
		puts("torquelin " TORQUELIN_VERSION);
		return 0;
	}
	// Every name after --status is a log's, whatever it starts with.
	if (form == StatusForm)
		return ShowStates(argc - 2, argv + 2);
	// After --words the rest reads as a check's command line, so that
	// --words put before a check shows the line that check reads.
	if (form == WordsForm) {
		argc--;
		argv++;
	}
	if (ReadSettings(argc, argv) != 0) {
		KeyWait();
		return 5;
	}
	return form == WordsForm ? Words() : Run();
}
