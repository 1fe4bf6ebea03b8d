// The status log: the alarm counter and a report, kept between runs.
#ifndef TORQUELIN_STATUSLOG_H
#define TORQUELIN_STATUSLOG_H

extern int CStatus;   // alarm counter: alarming runs in a row
extern int LStatus;   // second number to write
extern int LStatusX;  // second number as read

// Takes the log's lock and reads CStatus and LStatusX; a missing log reads
// as 0.  The lock is held until WriteStatus or CloseStatus.
void ReadStatus(const char *name);
// Checks that the log can be rewritten; prints the open error and returns
// 0 (the lock let go) when it cannot.
int OpenStatus(void);
// Reports a line with too few words for word index word, on standard error
// and in the new log.
void WordCountError(int word, const char *line);
// Puts the new log in place, whole: the messages, the counter, the second
// number and the report of compare value, target word and margin.  Lets go
// of the lock; prints the write error and returns 0 on failure.
int WriteStatus(int count, int before, double value, const char *target,
    double margin);
// Lets go of the log without writing it.
void CloseStatus(void);

#endif
