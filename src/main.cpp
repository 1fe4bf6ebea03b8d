// torquelin: watch a number in a text file and raise an alarm when it
// moves by more than a margin.
#include "platform.h"
#include "run.h"
#include "settings.h"

int
main(int argc, char **argv)
{
	Prepare();
	if (ReadSettings(argc, argv) != 0) {
		KeyWait();
		return 5;
	}
	return Run();
}
