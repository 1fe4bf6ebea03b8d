// Windows: the console, cmd.exe, and replacing a file in one step with
// MoveFileExW (the C runtime's rename cannot replace an existing file).
#include <windows.h>
#include <aclapi.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>

// windows.h names its own CopyFile; ours is the portable one.
#undef CopyFile

#include "platform.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

// The runtime expands wildcards in the arguments before main, so *.txt
// arrives as the names of the matching files, as the command line expects.
extern "C" {
int _dowildcard = -1;
}

void
KeyWait(void)
{
	HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
	DWORD mode;

	// _getch reads the console itself, not standard input; with input
	// from a pipe, a file or nothing at all there is no one to press a key.
	if (in == NULL || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode))
		return;
	_getch();
}

void
RunCommand(const char *text)
{
	if (text[0] == 0)
		return;
	fflush(stdout);
	fflush(stderr);
	// cmd.exe /c, with the interpreter's own quoting rules, as batch files
	// calling this tool have always relied on.
	system(text);
}

// Names reach us in the ANSI code page, as main's arguments and fopen take
// them; the Replacement keeps them in UTF-8 so that no character of a
// wide name is lost on the way back.
static int
AnsiToWide(const char *s, wchar_t *out, int n)
{
	return MultiByteToWideChar(CP_ACP, 0, s, -1, out, n) > 0;
}

static int
Utf8ToWide(const char *s, wchar_t *out, int n)
{
	return MultiByteToWideChar(CP_UTF8, 0, s, -1, out, n) > 0;
}

static int
WideToUtf8(const wchar_t *s, char *out, int n)
{
	return WideCharToMultiByte(CP_UTF8, 0, s, -1, out, n, NULL, NULL) > 0;
}

static int
IsSlash(wchar_t c)
{
	return c == L'\\' || c == L'/' || c == L':';
}

// A link (a reparse point) is written through to the file it names, so
// the link itself stays.
static void
FollowLink(wchar_t *path, DWORD size)
{
	wchar_t final[4096];
	HANDLE h;
	DWORD attr, n;

	attr = GetFileAttributesW(path);
	if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_REPARSE_POINT))
		return;
	h = CreateFileW(path, FILE_READ_ATTRIBUTES,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
	    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return;
	n = GetFinalPathNameByHandleW(h, final, 4096,
	    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	CloseHandle(h);
	if (n > 0 && n < size && n < 4096)
		wcscpy(path, final);
}

// A file whose permissions were set on it alone, not inherited from its
// folder, keeps them; the temporary file has the inherited ones already.
static void
KeepAccess(const wchar_t *target, HANDLE temp)
{
	PSECURITY_DESCRIPTOR sd = NULL;
	SECURITY_DESCRIPTOR_CONTROL ctl;
	DWORD rev;
	PACL dacl = NULL;

	if (GetNamedSecurityInfoW(target, SE_FILE_OBJECT,
	    DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) != ERROR_SUCCESS)
		return;
	if (dacl != NULL && GetSecurityDescriptorControl(sd, &ctl, &rev) &&
	    (ctl & SE_DACL_PROTECTED))
		SetSecurityInfo(temp, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION |
		    PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
	LocalFree(sd);
}

// Opens the new content of path, in text mode (lines end CR LF) or byte
// for byte; 0 when the target cannot be written.
static int
Open(Replacement *r, const char *path, int binary)
{
	static unsigned seq;
	wchar_t target[4096], temp[4096];
	const wchar_t *base;
	HANDLE h;
	DWORD err, attr;
	size_t dir;
	int fd, exists, i;

	r->fp = NULL;
	r->inplace = 0;
	r->temp[0] = 0;
	if (!AnsiToWide(path, target, 4096))
		return 0;
	FollowLink(target, 4096);
	if (!WideToUtf8(target, r->target, sizeof r->target))
		return 0;

	// The target must be writable as it stands, as a plain open would
	// require, though it is only replaced at commit.
	h = CreateFileW(target, GENERIC_WRITE,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
	    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
	exists = h != INVALID_HANDLE_VALUE;
	if (!exists) {
		err = GetLastError();
		if (err != ERROR_FILE_NOT_FOUND && err != ERROR_PATH_NOT_FOUND)
			return 0;
	} else if (GetFileType(h) != FILE_TYPE_DISK) {
		// A device (NUL, CON) or a pipe is written where it is.
		fd = _open_osfhandle((intptr_t)h, binary ? _O_BINARY : _O_TEXT);
		if (fd < 0) {
			CloseHandle(h);
			return 0;
		}
		if ((r->fp = _fdopen(fd, binary ? "wb" : "w")) == NULL) {
			_close(fd);
			return 0;
		}
		r->inplace = 1;
		return 1;
	} else {
		CloseHandle(h);
	}

	dir = wcslen(target);
	while (dir > 0 && !IsSlash(target[dir - 1]))
		dir--;
	base = target + dir;
	if (dir + wcslen(base) + 16 >= 4096)
		return 0;
	wmemcpy(temp, target, dir);
	for (i = 0; i < 100; i++) {
		unsigned k = GetTickCount() ^ (GetCurrentProcessId() << 12) ^ (++seq * 2654435761u);

		swprintf(temp + dir, 4096 - dir, L".%ls.%06x", base, k & 0xffffff);
		h = CreateFileW(temp, GENERIC_WRITE | WRITE_DAC, 0, NULL, CREATE_NEW,
		    FILE_ATTRIBUTE_NORMAL, NULL);
		if (h != INVALID_HANDLE_VALUE)
			break;
		err = GetLastError();
		if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS)
			return 0;
	}
	if (h == INVALID_HANDLE_VALUE || !WideToUtf8(temp, r->temp, sizeof r->temp)) {
		if (h != INVALID_HANDLE_VALUE) {
			CloseHandle(h);
			DeleteFileW(temp);
		}
		r->temp[0] = 0;
		return 0;
	}
	if (exists) {
		KeepAccess(target, h);
		attr = GetFileAttributesW(target);
		attr &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
		    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
		if (attr != 0 && attr != (DWORD)INVALID_FILE_ATTRIBUTES)
			SetFileAttributesW(temp, attr);
	}
	fd = _open_osfhandle((intptr_t)h, binary ? _O_BINARY : _O_TEXT);
	if (fd < 0) {
		CloseHandle(h);
		ReplaceAbort(r);
		return 0;
	}
	if ((r->fp = _fdopen(fd, binary ? "wb" : "w")) == NULL) {
		_close(fd);
		ReplaceAbort(r);
		return 0;
	}
	return 1;
}

int
ReplaceOpen(Replacement *r, const char *path)
{
	return Open(r, path, 0);
}

int
ReplaceCommit(Replacement *r)
{
	wchar_t target[4096], temp[4096];
	int ok;

	ok = fflush(r->fp) == 0 && !ferror(r->fp);
	if (ok && !r->inplace)
		ok = _commit(_fileno(r->fp)) == 0;
	ok = fclose(r->fp) == 0 && ok;
	r->fp = NULL;
	if (r->inplace)
		return ok;
	if (ok && Utf8ToWide(r->target, target, 4096) &&
	    Utf8ToWide(r->temp, temp, 4096) &&
	    MoveFileExW(temp, target,
	    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
		r->temp[0] = 0;
		return 1;
	}
	ReplaceAbort(r);
	return 0;
}

void
ReplaceAbort(Replacement *r)
{
	wchar_t temp[4096];

	if (r->fp) {
		fclose(r->fp);
		r->fp = NULL;
	}
	if (r->temp[0]) {
		if (Utf8ToWide(r->temp, temp, 4096))
			DeleteFileW(temp);
		r->temp[0] = 0;
	}
}

int
CopyFile(const char *from, const char *to)
{
	static char buf[1 << 16];
	wchar_t name[4096];
	Replacement r;
	HANDLE in;
	DWORD n;
	int ok = 0;

	if (!AnsiToWide(from, name, 4096))
		return 0;
	// Without backup semantics a directory does not open: no file to copy.
	in = CreateFileW(name, GENERIC_READ,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
	    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
	if (in == INVALID_HANDLE_VALUE)
		return 0;
	if (!Open(&r, to, 1)) {
		CloseHandle(in);
		return 0;
	}
	for (;;) {
		if (!ReadFile(in, buf, sizeof buf, &n, NULL)) {
			// A pipe's writer gone is its end, like a file's.
			ok = GetLastError() == ERROR_BROKEN_PIPE;
			break;
		}
		if (n == 0) {
			ok = 1;
			break;
		}
		if (fwrite(buf, 1, n, r.fp) != n)
			break;
	}
	CloseHandle(in);
	if (!ok) {
		ReplaceAbort(&r);
		return 0;
	}
	return ReplaceCommit(&r);
}

static HANDLE LockMutex;

// Runs on one log meet at a named mutex, as on POSIX at a lock on the
// log's directory (its target's, for a link).  It is named after the
// directory's volume and file index, which every spelling of its path
// shares (short names, drive letters, shares, linked folders), and global,
// so that a scheduled task and a run from the desktop meet too.  Nothing
// is made beside the log, and a run that dies lets go of it.
int
LockStatus(const char *logname)
{
	BY_HANDLE_FILE_INFORMATION info;
	wchar_t path[4096], full[4096], name[64];
	HANDLE dir;
	DWORD n, w;
	int ok;

	UnlockStatus();
	if (!AnsiToWide(logname, path, 4096))
		return 0;
	n = GetFullPathNameW(path, 4096, full, NULL);
	if (n == 0 || n >= 4096)
		return 0;
	FollowLink(full, 4096);
	for (n = wcslen(full); n > 0 && !IsSlash(full[n - 1]); n--)
		;
	if (n == 0)
		return 0;
	full[n] = 0;
	dir = CreateFileW(full, FILE_READ_ATTRIBUTES,
	    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
	    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
	if (dir == INVALID_HANDLE_VALUE)
		return 0;
	ok = GetFileInformationByHandle(dir, &info);
	CloseHandle(dir);
	if (!ok)
		return 0;
	swprintf(name, 64, L"Global\\torquelin-%08lx-%08lx%08lx",
	    (unsigned long)info.dwVolumeSerialNumber,
	    (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow);
	// Another user's run made it and did not let us in: go on unguarded,
	// as on a file system without locks.
	if ((LockMutex = CreateMutexW(NULL, FALSE, name)) == NULL &&
	    GetLastError() == ERROR_ACCESS_DENIED)
		LockMutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
	if (LockMutex == NULL)
		return 0;
	w = WaitForSingleObject(LockMutex, INFINITE);
	if (w != WAIT_OBJECT_0 && w != WAIT_ABANDONED) {
		CloseHandle(LockMutex);
		LockMutex = NULL;
		return 0;
	}
	return 1;
}

void
UnlockStatus(void)
{
	if (LockMutex != NULL) {
		ReleaseMutex(LockMutex);
		CloseHandle(LockMutex);
		LockMutex = NULL;
	}
}
