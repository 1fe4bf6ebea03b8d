// The state of many checks at a glance, read from their status logs.
#ifndef TORQUELIN_STATUS_H
#define TORQUELIN_STATUS_H

// Prints a line per log named: name, state, counter, compare value, target
// value and the time it was last written.  Returns 5 when a log cannot be
// read, else 1 when one is in alarm, else 0.  Takes no lock, writes nothing.
int ShowStates(int count, char **names);

#endif
