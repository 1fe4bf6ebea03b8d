// The status log: the alarm counter and a report, kept between runs.
#ifndef TORQUELIN_STATUSLOG_H
#define TORQUELIN_STATUSLOG_H

extern int CStatus;   // alarm counter: alarming runs in a row
extern int LStatus;   // second number to write
extern int LStatusX;  // second number as read

// Reads CStatus and LStatusX from the log; a missing log reads as 0.
void ReadStatus(const char *name);
// Makes ready to write the log; prints the open error and returns 0 on failure.
int OpenStatus(const char *name);
// Reports a line with too few words on standard error and in the log.
void WordCountError(const char *line);
// Puts the new log in place, whole; prints the write error and returns 0 on failure.
int WriteStatus(void);

#endif
