// The file primitives of platform.h over a tree kept in memory, for tests
// of the file policy: each test lays out the tree, picks the runner and
// scripts what happens on the primitives' calls (another process's deed, a
// failure, a signal), then checks the tree.
#ifndef TORQUELIN_FAKE_PLATFORM_H
#define TORQUELIN_FAKE_PLATFORM_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform.h"

enum { Me = 1000, Eve = 2000 };

// On the nth call of a primitive (every call for 0), counting only calls
// on a name that starts with prefix where one is given: act is done
// first, then the call fails where fails says so, returning ret, with err.
struct Event {
	const char *call;
	int nth;
	const char *prefix;
	std::function<void()> act;
	bool fails;
	int ret, err;
};

// What a name leads to.  Content is a file's bytes, or "<dir>", "<pipe>",
// "->text" for a symbolic link; laid out, "=path" is another name of the
// file at path.
struct Entry {
	std::string content;
	long uid;
	int mode;
	unsigned long long ino;
	bool other;  // put there by another process during the run
};
typedef std::map<std::string, Entry> Tree;

// An empty tree but for "/" (root's, 0755), the runner, its umask.
void FakeReset(long runner, int umask);
// Puts a new file at the full path, in place of what was there; ino 0
// picks one.
void FakeAdd(const std::string &path, const std::string &content, long uid,
    int mode, unsigned long long ino = 0, bool other = false);
void FakeScript(const std::vector<Event> &events);
// Every name under "/" by its full path.
Tree FakeTree(void);
// How many descriptors are open.
int FakeOpen(void);

// What another process does: puts its file at path (renamed into place),
// writes the file at path in place, removes it, takes the name the call is
// about for a file of Eve's.
void OtherPut(const std::string &path, const std::string &content, long uid,
    int mode, unsigned long long ino);
void OtherWrite(const std::string &path, const std::string &content);
void OtherRemove(const std::string &path);
void TakeName(void);
// A signal that ends the run arrives: Cleanup runs, now or once no longer
// Held, and the tree is kept as the run left it.
void Signal(void);
extern bool SignalCame;
extern Tree AtSignal;
// Whether Unnamed makes files with no name.
extern bool HasUnnamed;

#endif
