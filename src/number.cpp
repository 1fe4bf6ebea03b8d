#include "number.h"

#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

typedef unsigned long long U64;
typedef unsigned int U32;

// A number keeps 19 digits, below 2^64.  Lined up on a common unit, three
// numbers below 10^18 leave room for a sum in 64 bits; wider ones go into
// Limbs 32-bit words, the top one kept free for a sum (76 digits).
enum { SigDigits = 19, FastDigits = 18, Limbs = 9, MaxExp = 100000 };

static const U64 Pow10[20] = {
	1ULL, 10ULL, 100ULL, 1000ULL, 10000ULL, 100000ULL, 1000000ULL,
	10000000ULL, 100000000ULL, 1000000000ULL, 10000000000ULL,
	100000000000ULL, 1000000000000ULL, 10000000000000ULL,
	100000000000000ULL, 1000000000000000ULL, 10000000000000000ULL,
	100000000000000000ULL, 1000000000000000000ULL,
	10000000000000000000ULL,
};

// Powers of ten that a double holds exactly.
static const double Exact10[23] = {
	1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12,
	1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22,
};

Num
Real(const char *text)
{
	Num n = Num();
	const char *p = text;
	long long frac = 0, zeros = 0, e10 = 0, exp, top;
	int digits = 0, point = 0, eneg = 0, d;
	double x;

	while (isspace((unsigned char)*p))
		p++;
	if (*p == '+' || *p == '-')
		n.neg = *p++ == '-';
	// Decimal numbers only.  strtod also reads hexadecimal and the words
	// inf, infinity and nan, which in a data file are words, not numbers:
	// they read 0, as anything else that starts with no digit does.
	if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X'))
		return Num();
	if (!isdigit((unsigned char)p[0]) &&
	    !(p[0] == '.' && isdigit((unsigned char)p[1])))
		return Num();

	// Zeros wait until a digit follows them, so sig ends in no zero.
	for (;; p++) {
		if (*p == '.' && !point) {
			point = 1;
			continue;
		}
		if (!isdigit((unsigned char)*p))
			break;
		d = *p - '0';
		frac += point;
		if (d == 0)
			zeros += digits > 0;
		else if (digits + zeros + 1 > SigDigits) {
			// Too many digits: strtod reads this one.
			n.rough = 1;
			break;
		} else {
			n.sig = n.sig * Pow10[zeros + 1] + d;
			digits += (int)(zeros + 1);
			zeros = 0;
		}
	}
	if (!n.rough && (*p == 'e' || *p == 'E')) {
		p++;
		if (*p == '+' || *p == '-')
			eneg = *p++ == '-';
		for (; isdigit((unsigned char)*p); p++)
			if (e10 < 1000000000)
				e10 = e10 * 10 + (*p - '0');
		if (eneg)
			e10 = -e10;
	}
	if (n.sig == 0 && !n.rough)
		return Num();
	exp = e10 - frac + zeros;
	top = exp + digits;

	// Well inside the double range the digits decide and the double waits
	// until it is printed, unless one rounding of two exact doubles gives
	// it: a conversion for every number read would cost more than the
	// comparison.
	if (!n.rough && top > -300 && top < 300) {
		n.exp = (int)exp;
		if (n.sig >> 53 == 0 && exp >= -22 && exp <= 22) {
			x = exp >= 0 ? (double)n.sig * Exact10[exp] :
			    (double)n.sig / Exact10[-exp];
			n.v = n.neg ? -x : x;
			n.ready = 1;
		}
		return n;
	}

	// Beyond the double range a number stops at the largest double: never
	// an infinity, so that no difference can be infinity minus infinity,
	// a NaN.  Below it, a number is 0.
	x = fabs(strtod(text, NULL));
	if (x > DBL_MAX) {
		x = DBL_MAX;
		n.rough = 1;
	}
	if (x == 0)
		return Num();
	n.v = n.neg ? -x : x;
	n.ready = 1;
	n.exp = exp < -MaxExp ? -MaxExp : exp > MaxExp ? MaxExp : (int)exp;
	return n;
}

double
Dbl(const Num *n)
{
	char s[48];

	if (n->ready)
		return n->v;
	snprintf(s, sizeof s, "%s%llue%d", n->neg ? "-" : "", n->sig, n->exp);
	return strtod(s, NULL);
}

// The unit the numbers line up on: the smallest exponent of those not 0.
static int
Unit(const Num *const *n, int k)
{
	int i, e = MaxExp;

	for (i = 0; i < k; i++)
		if (n[i]->sig != 0 && n[i]->exp < e)
			e = n[i]->exp;
	return e;
}

// The numbers as whole counts of the unit 10^e, each below 10^18; 0 when
// one is not.
static int
Line64(const Num *const *n, int k, int e, U64 *u)
{
	int i, shift;

	for (i = 0; i < k; i++) {
		shift = n[i]->sig ? n[i]->exp - e : 0;
		if (shift > FastDigits || n[i]->sig >= Pow10[FastDigits - shift])
			return 0;
		u[i] = n[i]->sig * Pow10[shift];
	}
	return 1;
}

// |a - b| of two lined-up numbers of a's and b's signs.
static U64
Gap64(const Num *a, const Num *b, U64 x, U64 y)
{
	if (a->neg != b->neg)
		return x + y;
	return x > y ? x - y : y - x;
}

typedef U32 Big[Limbs];

// sig * 10^shift; 0 when it reaches the top word.
static int
BigOf(Big r, U64 sig, int shift)
{
	U64 c;
	int i, k;

	memset(r, 0, sizeof(Big));
	r[0] = (U32)sig;
	r[1] = (U32)(sig >> 32);
	for (; shift > 0; shift -= k) {
		k = shift > 9 ? 9 : shift;
		for (c = 0, i = 0; i < Limbs; i++) {
			c += (U64)r[i] * Pow10[k];
			r[i] = (U32)c;
			c >>= 32;
		}
		if (c != 0 || r[Limbs - 1] != 0)
			return 0;
	}
	return 1;
}

static int
BigCmp(const Big x, const Big y)
{
	int i;

	for (i = Limbs - 1; i >= 0; i--)
		if (x[i] != y[i])
			return x[i] < y[i] ? -1 : 1;
	return 0;
}

// r = r + y, or r = r - y when sub (r not below y).
static void
BigAdd(Big r, const Big y, int sub)
{
	U64 c = sub;
	int i;

	for (i = 0; i < Limbs; i++) {
		c += (U64)r[i] + (sub ? (U32)~y[i] : y[i]);
		r[i] = (U32)c;
		c >>= 32;
	}
}

// |a - b| > m when the numbers do not line up below 10^18: -1 when they do
// not line up within the words either.
static int
AboveBig(const Num *const *n, int e)
{
	Big x[3];
	int i;

	for (i = 0; i < 3; i++)
		if (!BigOf(x[i], n[i]->sig, n[i]->sig ? n[i]->exp - e : 0))
			return -1;
	if (n[0]->neg != n[1]->neg)
		BigAdd(x[0], x[1], 0);
	else if (BigCmp(x[0], x[1]) >= 0)
		BigAdd(x[0], x[1], 1);
	else {
		BigAdd(x[1], x[0], 1);
		memcpy(x[0], x[1], sizeof(Big));
	}
	return BigCmp(x[0], x[2]) > 0;
}

int
Above(const Num *a, const Num *b, const Num *m)
{
	const Num *n[3] = { a, b, m };
	U64 u[3];
	int e, r;

	if (m->neg && m->sig != 0)
		return 1;
	if (!a->rough && !b->rough && !m->rough) {
		e = Unit(n, 3);
		if (Line64(n, 3, e, u))
			return Gap64(a, b, u[0], u[1]) > u[2];
		if ((r = AboveBig(n, e)) >= 0)
			return r;
	}
	return fabs(Dbl(a) - Dbl(b)) > Dbl(m);
}

double
Apart(const Num *a, const Num *b)
{
	const Num *n[2] = { a, b };
	U64 u[2];
	char s[48];
	int e;

	if (!a->rough && !b->rough && Line64(n, 2, e = Unit(n, 2), u)) {
		snprintf(s, sizeof s, "%llue%d", Gap64(a, b, u[0], u[1]), e);
		return strtod(s, NULL);
	}
	return fabs(Dbl(a) - Dbl(b));
}

int
PutReal(char *buf, size_t size, double v)
{
	int n = 0, p;

	for (p = 15; p <= 17; p++)
		if ((n = snprintf(buf, size, "%.*g", p, v)) < 0 ||
		    strtod(buf, NULL) == v)
			break;
	return n;
}
