#include "words.h"

#include <cstdio>
#include <sys/stat.h>

#include "linesource.h"
#include "settings.h"
#include "textutil.h"

static Src In;

int
Words(const char *file, int line)
{
	struct stat st;
	char buf[256];
	FILE *f;
	int i, n;

	// Opened, walked and split exactly as a check does it, so that what
	// is shown here is what a check compares.
	f = fopen(file, "r");
	if (f != NULL && fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
		fclose(f);
		f = NULL;
	}
	if (f == NULL) {
		fprintf(stderr, "\nCompare file >%s< open error.\n\n", file);
		return 5;
	}
	buf[0] = 0;
	SrcOpen(&In, f);
	if (!SrcGoTo(&In, line, buf)) {
		fclose(f);
		fprintf(stderr, "\nCompare file >%s< has no line %d.\n\n", file,
		    line);
		return 5;
	}
	fclose(f);
	printf("Line %d of >%s<: >%s<\n", line, file, buf);
	n = Parsex(buf);
	for (i = 0; i < n; i++)
		printf("W=%-3d >%s<  reads %.7g\n", i + 1, Par[i],
		    (double)Real(Par[i]));
	// A check takes the empty slot after the last word as 0 and reports
	// any further one; the table ends at 20.
	if (n < 20)
		printf("After the last word: W=%d reads 0, a higher W is a word "
		    "count error.\n", n + 1);
	else
		printf("After W=20: every W is a word count error.\n");
	return 0;
}
