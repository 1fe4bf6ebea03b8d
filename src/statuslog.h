// The status log: the alarm counter and a report, kept between runs.
#ifndef TORQUELIN_STATUSLOG_H
#define TORQUELIN_STATUSLOG_H

#include "filepolicy.h"

// How long a run waits for another run on the same log, in seconds.
enum { LockWait = 10 };

// The log's two numbers.
struct Status {
	int CStatus;   // alarm counter: alarming runs in a row
	int LStatus;   // second number to write
	int LStatusX;  // second number as read
};

// Opens the log to be rewritten; prints the open error and returns 0 when
// it cannot be.
int OpenStatus(const char *name, Log *log);
// Reads the two numbers from a log's text, past its word-count messages,
// into *s; 0 (and both 0) when no counter stands where a run writes it.
int ScanStatus(FILE *f, Status *s);
// Waits for the log's lock and reads its numbers into *s: a log that
// keeps none reads as 0.  The lock is held until WriteStatus or
// CloseStatus.  0, with the open error printed, when the file now at the
// log's name cannot be written.
int ReadStatus(Log *log, Status *s);
// Reports a line with too few words for word index word, on standard error
// and in the new log.
void WordCountError(int word, const char *line);
// Puts the new log in place, whole: the messages, the counter, the second
// number and the report of compare value, target word and margin.  Lets go
// of the log; prints the write error and returns 0 on failure.
int WriteStatus(Log *log, const Status *s, double value, const char *target,
    double margin);
// Lets go of the log without writing it.
void CloseStatus(Log *log);

#endif
