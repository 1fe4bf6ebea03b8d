// Numbers as written: the decimal digits and their power of ten beside the
// nearest double, so that a margin test follows decimal arithmetic and a
// byte counter or a time in seconds loses no digit.
#ifndef TORQUELIN_NUMBER_H
#define TORQUELIN_NUMBER_H

#include <cstddef>

struct Num {
	unsigned long long sig;  // up to 19 digits, trailing zeros dropped
	int exp;                 // the power of ten of sig's last digit
	int neg;                 // below zero
	int rough;               // sig and exp do not hold it: compare v
	int ready;               // v is worked out
	double v;                // the nearest double, within the double range
};

// Reads a decimal number as atof does: blanks, a sign, digits with a point
// and an exponent.  Hexadecimal and the words inf and nan read 0, numbers
// beyond the double range stop at the largest double, and those too small
// for it read 0.  A zero-filled Num is 0.
Num Real(const char *text);
// The nearest double, within the double range.
double Dbl(const Num *n);
// |a - b| > m, in decimal when the three hold their digits and line up
// within 76 places; else in double precision.  Every difference is above
// a margin below 0.
int Above(const Num *a, const Num *b, const Num *m);
// |a - b| as the double nearest to the decimal difference.
double Apart(const Num *a, const Num *b);
// Prints v with the digits that tell it from every other double: the
// shortest of %.15g, %.16g and %.17g that reads back as v.  Returns what
// snprintf returns.
int PutReal(char *buf, size_t size, double v);

#endif
