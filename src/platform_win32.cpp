// Windows: the console, cmd.exe, a named mutex for the log's lock, and
// replacing a file in one step with MoveFileExW (the C runtime's rename
// cannot replace an existing file).
#include <windows.h>
#include <aclapi.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// The runtime expands wildcards in the arguments before main, so *.txt
// arrives as the names of the matching files, as the command line expects.
extern "C" {
int _dowildcard = -1;
}

// Names as long as the system takes with the \\?\ prefix.
enum { PathMax = 32768 };

// Every open leaves the file to others to read, write, rename or delete,
// as a plain fopen does.
static const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE |
    FILE_SHARE_DELETE;

// Names the console control handler removes: a temporary file that exists
// only until it is moved into place, and a log this run made and has not
// written yet.  Each name is complete before its flag is set.
static wchar_t TempName[PathMax];
static volatile LONG TempSet;
static wchar_t MadeName[PathMax];
static volatile LONG MadeSet;

static BOOL WINAPI
Cleanup(DWORD event)
{
	// A logoff need not end a process outside the user's session.
	if (event != CTRL_LOGOFF_EVENT) {
		if (TempSet)
			DeleteFileW(TempName);
		if (MadeSet)
			DeleteFileW(MadeName);
	}
	return FALSE;  // the next handler ends the process as it would have
}

// True when the C runtime's descriptor fd leads to no open handle.
static int
Closed(int fd)
{
	HANDLE h = (HANDLE)_get_osfhandle(fd);

	if (h == INVALID_HANDLE_VALUE || h == NULL || h == (HANDLE)-2)
		return 1;
	SetLastError(NO_ERROR);
	return GetFileType(h) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

void
Prepare(void)
{
	static const DWORD ids[] = { STD_INPUT_HANDLE, STD_OUTPUT_HANDLE,
	    STD_ERROR_HANDLE };
	int fd, nul;

	// A file opened later must never take the place of standard error,
	// for the runtime or for the commands we run.  The runtime keeps
	// descriptors 0 to 2 for the standard streams even without a handle,
	// so where NUL cannot be put there the run still goes on.
	for (fd = 0; fd <= 2; fd++) {
		if (!Closed(fd) || (nul = _open("NUL", _O_RDWR)) < 0)
			continue;
		if (_dup2(nul, fd) == 0)
			SetStdHandle(ids[fd], (HANDLE)_get_osfhandle(fd));
		_close(nul);
	}
	SetConsoleCtrlHandler(Cleanup, TRUE);
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

// The name of the "NAME=value" entry var, into name; 0 for none.
static int
VarName(const char *var, char *name, size_t size)
{
	size_t n = strcspn(var, "=");

	if (n == 0 || n >= size || var[n] == 0)
		return 0;
	memcpy(name, var, n);
	name[n] = 0;
	return 1;
}

int
RunCommand(const char *text, const char *const *vars, int timeout, int *how,
    int *code)
{
	char name[256], **old;
	DWORD len;
	int k, n, r, err;

	(void)timeout;
	*how = Exited;
	*code = 0;
	if (text[0] == 0)
		return 1;
	for (n = 0; vars && vars[n]; n++)
		;
	if ((old = (char **)calloc(n + 1, sizeof *old)) == NULL)
		return 0;
	// The command inherits our environment: the variables go into it
	// for the command's time, the old values kept to be put back.
	for (k = 0; k < n; k++) {
		if (!VarName(vars[k], name, sizeof name))
			continue;
		if ((len = GetEnvironmentVariableA(name, NULL, 0)) > 0 &&
		    (old[k] = (char *)malloc(len)) != NULL &&
		    GetEnvironmentVariableA(name, old[k], len) >= len) {
			free(old[k]);
			old[k] = NULL;
		}
		SetEnvironmentVariableA(name, vars[k] + strlen(name) + 1);
	}
	fflush(stdout);
	fflush(stderr);
	// cmd.exe /c, with the interpreter's own quoting rules, as batch files
	// calling this tool have always relied on.  -1 is also a command's
	// own exit code: only with errno set did none start.
	errno = 0;
	r = system(text);
	err = errno;
	for (k = n - 1; k >= 0; k--) {
		if (VarName(vars[k], name, sizeof name))
			SetEnvironmentVariableA(name, old[k]);
		free(old[k]);
	}
	free(old);
	if (r == -1 && err != 0)
		return 0;
	*code = r;
	return 1;
}

// Names reach us in the ANSI code page, as main's arguments and fopen take
// them.
static int
Wide(const char *s, wchar_t *out, int n)
{
	return MultiByteToWideChar(CP_ACP, 0, s, -1, out, n) > 0;
}

static Kind
KindOfHandle(HANDLE h)
{
	BY_HANDLE_FILE_INFORMATION info;

	switch (GetFileType(h)) {
	case FILE_TYPE_DISK:
		if (!GetFileInformationByHandle(h, &info))
			return KindFile;
		return info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ?
		    KindDir : KindFile;
	case FILE_TYPE_PIPE:
		return KindPipe;
	default:
		return KindOther;
	}
}

Kind
StreamKind(FILE *fp)
{
	HANDLE h = (HANDLE)_get_osfhandle(_fileno(fp));

	return h == INVALID_HANDLE_VALUE ? KindNone : KindOfHandle(h);
}

static int
IsSlash(wchar_t c)
{
	return c == L'\\' || c == L'/';
}

// The directory part of a full path, its last separator included.
static int
DirOf(const wchar_t *path, wchar_t *dir, size_t size)
{
	size_t n = wcslen(path);

	while (n > 0 && !IsSlash(path[n - 1]))
		n--;
	if (n == 0 || n >= size)
		return 0;
	wmemcpy(dir, path, n);
	dir[n] = 0;
	return 1;
}

// A link (a reparse point) is written through to the file it names, so
// the link itself stays.
static void
FollowLink(wchar_t *path, size_t size)
{
	static wchar_t final[PathMax];
	HANDLE h;
	DWORD attr, n;

	attr = GetFileAttributesW(path);
	if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_REPARSE_POINT))
		return;
	h = CreateFileW(path, FILE_READ_ATTRIBUTES, ShareAll, NULL, OPEN_EXISTING,
	    FILE_ATTRIBUTE_NORMAL, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return;
	n = GetFinalPathNameByHandleW(h, final, PathMax,
	    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	CloseHandle(h);
	if (n > 0 && n < size && n < PathMax)
		wcscpy(path, final);
}

// The full name of the file that name leads to, links followed, with the
// \\?\ prefix where it is too long for the plain form.
static int
Resolve(const char *name, wchar_t *out)
{
	static wchar_t wide[PathMax];
	DWORD n;

	if (name[0] == 0 || !Wide(name, wide, PathMax))
		return 0;
	n = GetFullPathNameW(wide, PathMax - 8, out, NULL);
	if (n == 0 || n >= PathMax - 8)
		return 0;
	FollowLink(out, PathMax - 8);
	n = wcslen(out);
	if (n < MAX_PATH - 20 || wcsncmp(out, L"\\\\?\\", 4) == 0 ||
	    wcsncmp(out, L"\\\\.\\", 4) == 0)
		return 1;
	if (out[0] != L'\\') {
		wmemmove(out + 4, out, n + 1);
		wmemcpy(out, L"\\\\?\\", 4);
	} else {
		wmemmove(out + 8, out + 2, n - 1);
		wmemcpy(out, L"\\\\?\\UNC\\", 8);
	}
	return 1;
}

// Writes len bytes to h, every line feed as CR LF when crlf is set (the
// runtime's text mode); 0 on failure.
static int
WriteAll(HANDLE h, const char *p, size_t len, int crlf)
{
	static char buf[1 << 16];
	const char *q;
	size_t n;
	DWORD w;

	while (len > 0) {
		if (crlf) {
			for (n = 0; len > 0 && n < sizeof buf - 1; len--, p++) {
				if (*p == '\n')
					buf[n++] = '\r';
				buf[n++] = *p;
			}
			q = buf;
		} else {
			n = len < (1u << 30) ? len : 1u << 30;
			q = p;
			p += n;
			len -= n;
		}
		for (; n > 0; q += w, n -= w)
			if (!WriteFile(h, q, (DWORD)n, &w, NULL) || w == 0)
				return 0;
	}
	return 1;
}

// A file whose permissions were set on it alone, not inherited from its
// folder, keeps them; the temporary file has the inherited ones already.
// So do its hidden, system and archive attributes.
static void
KeepAccess(const wchar_t *target, HANDLE temp, const wchar_t *tempname)
{
	PSECURITY_DESCRIPTOR sd = NULL;
	SECURITY_DESCRIPTOR_CONTROL ctl;
	DWORD rev, attr;
	PACL dacl = NULL;

	if (GetNamedSecurityInfoW(target, SE_FILE_OBJECT,
	    DACL_SECURITY_INFORMATION, NULL, NULL, &dacl, NULL, &sd) == ERROR_SUCCESS) {
		if (dacl != NULL && GetSecurityDescriptorControl(sd, &ctl, &rev) &&
		    (ctl & SE_DACL_PROTECTED))
			SetSecurityInfo(temp, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION |
			    PROTECTED_DACL_SECURITY_INFORMATION, NULL, NULL, dacl, NULL);
		LocalFree(sd);
	}
	attr = GetFileAttributesW(target);
	if (attr == INVALID_FILE_ATTRIBUTES)
		return;
	attr &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
	    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
	if (attr != 0)
		SetFileAttributesW(tempname, attr);
}

// Makes a temporary file, TempName, in the folder of target to stand in
// for it: a short name of its own, so that it fits wherever target's does.
// With keep, it takes on target's access list and attributes.  Null when
// none can be made.
static HANDLE
StandIn(const wchar_t *target, int keep)
{
	static unsigned seq;
	HANDLE h = INVALID_HANDLE_VALUE;
	size_t dir;
	int i;

	if (!DirOf(target, TempName, PathMax - 20))
		return NULL;
	dir = wcslen(TempName);
	for (i = 0; i < 100; i++) {
		unsigned k = GetTickCount() ^ (GetCurrentProcessId() << 12) ^
		    (++seq * 2654435761u);

		swprintf(TempName + dir, PathMax - dir, L".torquelin-%06x",
		    k & 0xffffff);
		// Shared for deletion, so that the control handler can remove it.
		h = CreateFileW(TempName, GENERIC_WRITE | WRITE_DAC,
		    FILE_SHARE_DELETE, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
		if (h != INVALID_HANDLE_VALUE)
			break;
		if (GetLastError() != ERROR_FILE_EXISTS &&
		    GetLastError() != ERROR_ALREADY_EXISTS)
			return NULL;
	}
	if (h == INVALID_HANDLE_VALUE)
		return NULL;
	InterlockedExchange(&TempSet, 1);
	if (keep)
		KeepAccess(target, h, TempName);
	return h;
}

static void
TempDrop(void)
{
	DeleteFileW(TempName);
	InterlockedExchange(&TempSet, 0);
}

// Moves the closed temporary file over target; 0 with it removed when
// that cannot be done.  A target someone has open at that moment cannot
// be replaced: a run looking up the log's lock holds it for an instant,
// so a refusal is tried again a few times.
static int
TempPut(const wchar_t *target)
{
	int i;

	for (i = 0; i < 5; i++) {
		if (MoveFileExW(TempName, target,
		    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
			InterlockedExchange(&TempSet, 0);
			return 1;
		}
		if (GetLastError() != ERROR_ACCESS_DENIED &&
		    GetLastError() != ERROR_SHARING_VIOLATION)
			break;
		Sleep(10);
	}
	TempDrop();
	return 0;
}

// The identity of an open file on disk, which every spelling of its path
// shares.
struct Id {
	DWORD volume, high, low;
};

static int
IdOf(HANDLE h, Id *id, DWORD *links)
{
	BY_HANDLE_FILE_INFORMATION info;

	if (!GetFileInformationByHandle(h, &info))
		return 0;
	id->volume = info.dwVolumeSerialNumber;
	id->high = info.nFileIndexHigh;
	id->low = info.nFileIndexLow;
	if (links)
		*links = info.nNumberOfLinks;
	return 1;
}

static int
SameId(const Id *a, const Id *b)
{
	return a->volume == b->volume && a->high == b->high && a->low == b->low;
}

// True when h is open on the file id.
static int
IsFile(HANDLE h, const Id *id)
{
	Id now;

	return h != INVALID_HANDLE_VALUE && IdOf(h, &now, NULL) &&
	    SameId(&now, id);
}

// True when name now leads to the file id.
static int
Still(const wchar_t *name, const Id *id)
{
	HANDLE h;
	int same;

	h = CreateFileW(name, FILE_READ_ATTRIBUTES, ShareAll, NULL, OPEN_EXISTING,
	    0, NULL);
	same = IsFile(h, id);
	if (h != INVALID_HANDLE_VALUE)
		CloseHandle(h);
	return same;
}

// The status log of this run: open from LogOpen to LogClose; its lock is
// held from LogOpen to LogClose where it could be had.
static HANDLE LogH = INVALID_HANDLE_VALUE;
static HANDLE LockMutex;
static wchar_t LogName[PathMax];  // its full name with a link followed
static Id MadeId;                 // the file MadeName was made as
static int LogDisk;               // a file on disk, not a device or a pipe

// Opens name's file as LogH, making it when it does not exist; 0 when it
// cannot be opened at all.  A file that may not be written is opened for
// reading.
static int
LogFind(const char *name, int *writable)
{
	int tries;
	DWORD err;

	for (tries = 0; tries < 8; tries++) {
		if (!Resolve(name, LogName))
			return 0;
		*writable = 1;
		LogH = CreateFileW(LogName, GENERIC_READ | GENERIC_WRITE, ShareAll,
		    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
		err = GetLastError();
		if (LogH == INVALID_HANDLE_VALUE && err == ERROR_FILE_NOT_FOUND) {
			// The lock needs a file; one the run ends without
			// writing goes again.
			LogH = CreateFileW(LogName, GENERIC_READ | GENERIC_WRITE,
			    ShareAll, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
			err = GetLastError();
			if (LogH != INVALID_HANDLE_VALUE && IdOf(LogH, &MadeId, NULL)) {
				wcscpy(MadeName, LogName);
				InterlockedExchange(&MadeSet, 1);
			} else if (err == ERROR_FILE_EXISTS) {
				continue;  // made by another run meanwhile
			}
		}
		if (LogH == INVALID_HANDLE_VALUE && (err == ERROR_ACCESS_DENIED ||
		    err == ERROR_SHARING_VIOLATION || err == ERROR_WRITE_PROTECT)) {
			*writable = 0;
			LogH = CreateFileW(LogName, GENERIC_READ, ShareAll, NULL,
			    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
		}
		LogDisk = LogH != INVALID_HANDLE_VALUE &&
		    GetFileType(LogH) == FILE_TYPE_DISK;
		return LogH != INVALID_HANDLE_VALUE;
	}
	return 0;
}

static void
LogShut(void)
{
	if (LogH != INVALID_HANDLE_VALUE)
		CloseHandle(LogH);
	LogH = INVALID_HANDLE_VALUE;
}

// The mutex that runs on the log meet at, named for the folder that holds
// it (its volume and file index, which every spelling of the folder
// shares: another drive letter, a share, a linked folder) and a hash of
// the file's long name in capitals (so that a short name meets it too).
// A log made anew or replaced by another run keeps its name, and so its
// mutex.  Global, so that a scheduled task and a run from the desktop
// meet too; nothing is made on disk, and a run that dies lets go of it.
// Null when there is none to be had: one that another account's run made
// is closed to this one.
static HANDLE
LockOf(const wchar_t *path)
{
	static wchar_t full[PathMax], dir[PathMax];
	BY_HANDLE_FILE_INFORMATION info;
	unsigned long long hash = 14695981039346656037ull;
	wchar_t name[80];
	const wchar_t *p;
	HANDLE d, m;
	DWORD n;

	n = GetLongPathNameW(path, full, PathMax);
	if (n == 0 || n >= PathMax)
		wcscpy(full, path);
	if (!DirOf(full, dir, PathMax))
		return NULL;
	d = CreateFileW(dir, FILE_READ_ATTRIBUTES, ShareAll, NULL, OPEN_EXISTING,
	    FILE_FLAG_BACKUP_SEMANTICS, NULL);
	if (d == INVALID_HANDLE_VALUE)
		return NULL;
	n = GetFileInformationByHandle(d, &info);
	CloseHandle(d);
	if (!n)
		return NULL;
	for (p = full + wcslen(dir); *p; p++)
		hash = (hash ^ (unsigned long long)(ULONG_PTR)CharUpperW(
		    (LPWSTR)(ULONG_PTR)*p)) * 1099511628211ull;
	swprintf(name, 80, L"Global\\torquelin-%08lx-%08lx%08lx-%08lx%08lx",
	    (unsigned long)info.dwVolumeSerialNumber,
	    (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow,
	    (unsigned long)(hash >> 32), (unsigned long)(hash & 0xffffffffu));
	if ((m = CreateMutexW(NULL, FALSE, name)) == NULL &&
	    GetLastError() == ERROR_ACCESS_DENIED)
		m = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
	return m;
}

FILE *
LogOpen(const char *name, int *writable)
{
	HANDLE m, h;
	FILE *fp;
	DWORD w;
	int fd;

	LogClose();
	*writable = 0;
	if (!LogFind(name, writable)) {
		*writable = 0;
		return NULL;
	}
	// A device or a pipe keeps no state and needs no lock.
	if (!LogDisk)
		return NULL;
	if ((m = LockOf(LogName)) != NULL) {
		// Not held open while waiting, or the run before could not
		// replace it; opened again once the lock is ours, when the
		// name may lead to the new log that run put in its place.
		LogShut();
		w = WaitForSingleObject(m, LockWait * 1000u);
		if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) {
			LockMutex = m;
		} else {
			CloseHandle(m);
			if (w == WAIT_TIMEOUT)
				fprintf(stderr, "\nLog file >%s< still locked after %d s,"
				    " going on without the lock.\n\n", name,
				    (int)LockWait);
		}
		if (!LogFind(name, writable) || !LogDisk) {
			*writable = 0;
			return NULL;
		}
	}
	// A log this run made may have been replaced while it waited.
	if (MadeSet && !IsFile(LogH, &MadeId))
		InterlockedExchange(&MadeSet, 0);
	if (!DuplicateHandle(GetCurrentProcess(), LogH, GetCurrentProcess(), &h,
	    0, FALSE, DUPLICATE_SAME_ACCESS))
		return NULL;
	SetFilePointer(h, 0, NULL, FILE_BEGIN);
	if ((fd = _open_osfhandle((intptr_t)h, _O_RDONLY | _O_TEXT)) < 0) {
		CloseHandle(h);
		return NULL;
	}
	if ((fp = _fdopen(fd, "r")) == NULL)
		_close(fd);
	return fp;
}

int
LogWrite(const char *text, size_t len)
{
	Id id;
	DWORD links;
	LONG made;
	HANDLE t;
	int ok;

	if (LogH == INVALID_HANDLE_VALUE)
		return 0;
	if (!LogDisk)
		return WriteAll(LogH, text, len, 1);
	// A hard link would be split off from its other names by a new file.
	if (IdOf(LogH, &id, &links) && links == 1 &&
	    (t = StandIn(LogName, 1)) != NULL) {
		ok = WriteAll(t, text, len, 1) && FlushFileBuffers(t);
		CloseHandle(t);
		if (!ok) {
			TempDrop();
			return 0;
		}
		// Our own handle would keep it from being replaced.
		LogShut();
		made = InterlockedExchange(&MadeSet, 0);
		if (TempPut(LogName))
			return 1;
		// Held by another program: written where it is, if it still
		// is the log.
		LogH = CreateFileW(LogName, GENERIC_READ | GENERIC_WRITE, ShareAll,
		    NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
		if (!IsFile(LogH, &id)) {
			LogShut();
			return 0;
		}
		InterlockedExchange(&MadeSet, made);
	}
	// Over the old content from the start, then cut: never shorter than
	// the new content while being written.
	ok = SetFilePointer(LogH, 0, NULL, FILE_BEGIN) == 0 &&
	    WriteAll(LogH, text, len, 1) && SetEndOfFile(LogH) &&
	    FlushFileBuffers(LogH);
	if (ok)
		InterlockedExchange(&MadeSet, 0);
	return ok;
}

void
LogClose(void)
{
	LARGE_INTEGER size;

	if (MadeSet && IsFile(LogH, &MadeId) && GetFileSizeEx(LogH, &size) &&
	    size.QuadPart == 0 && Still(MadeName, &MadeId))
		DeleteFileW(MadeName);
	InterlockedExchange(&MadeSet, 0);
	LogShut();
	if (LockMutex != NULL) {
		ReleaseMutex(LockMutex);
		CloseHandle(LockMutex);
		LockMutex = NULL;
	}
}

// Copies in to out from where each stands; 0 on failure.
static int
CopyHandle(HANDLE in, HANDLE out)
{
	static char buf[1 << 16];
	DWORD n;

	for (;;) {
		if (!ReadFile(in, buf, sizeof buf, &n, NULL))
			// A pipe's writer gone is its end, like a file's.
			return GetLastError() == ERROR_BROKEN_PIPE;
		if (n == 0)
			return 1;
		if (!WriteAll(out, buf, n, 0))
			return 0;
	}
}

// Opens to's file for writing; INVALID_HANDLE_VALUE with the error when it
// cannot be, ERROR_FILE_NOT_FOUND when it does not exist.
static HANDLE
OpenTarget(const char *to, wchar_t *target)
{
	if (!Resolve(to, target)) {
		SetLastError(ERROR_INVALID_NAME);
		return INVALID_HANDLE_VALUE;
	}
	return CreateFileW(target, GENERIC_WRITE, ShareAll, NULL, OPEN_EXISTING,
	    FILE_ATTRIBUTE_NORMAL, NULL);
}

// Not synced, unlike the log: writing a large file through to the disk
// costs many times the copy itself, and from still holds the data.
int
CopyOver(const char *from, const char *to)
{
	static wchar_t name[PathMax], target[PathMax];
	HANDLE in, out, t;
	DWORD links;
	Id id;
	int ok;

	if (!Wide(from, name, PathMax))
		return 0;
	// Without backup semantics a directory does not open: no file to copy.
	in = CreateFileW(name, GENERIC_READ, ShareAll, NULL, OPEN_EXISTING,
	    FILE_FLAG_SEQUENTIAL_SCAN, NULL);
	if (in == INVALID_HANDLE_VALUE)
		return 0;
	out = OpenTarget(to, target);
	if (out == INVALID_HANDLE_VALUE) {
		ok = GetLastError() == ERROR_FILE_NOT_FOUND &&
		    (t = StandIn(target, 0)) != NULL;
		if (ok) {
			ok = CopyHandle(in, t);
			CloseHandle(t);
			if (ok)
				ok = TempPut(target);
			else
				TempDrop();
		}
		CloseHandle(in);
		return ok;
	}
	if (GetFileType(out) == FILE_TYPE_DISK && IdOf(out, &id, &links) &&
	    links == 1 && (t = StandIn(target, 1)) != NULL) {
		CloseHandle(out);
		ok = CopyHandle(in, t);
		CloseHandle(t);
		if (!ok) {
			TempDrop();
			CloseHandle(in);
			return 0;
		}
		if (TempPut(target)) {
			CloseHandle(in);
			return 1;
		}
		// Held by another program: written where it is instead.
		out = CreateFileW(target, GENERIC_WRITE, ShareAll, NULL,
		    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
		if (!IsFile(out, &id) ||
		    SetFilePointer(in, 0, NULL, FILE_BEGIN) != 0) {
			if (out != INVALID_HANDLE_VALUE)
				CloseHandle(out);
			CloseHandle(in);
			return 0;
		}
	}
	// In place: over the old content from the start, then cut to length.
	ok = CopyHandle(in, out);
	if (ok && GetFileType(out) == FILE_TYPE_DISK)
		ok = SetEndOfFile(out);
	ok = CloseHandle(out) && ok;
	CloseHandle(in);
	return ok;
}

// system() hands the command to cmd.exe and gives us no handle to end it
// by: --timeout is refused here rather than promised and not kept.
int
CanTimeOut(void)
{
	return 0;
}

// Nothing goes to the event log: it could not be checked under Wine.
void
SysLog(int severity, const char *line)
{
	(void)severity;
	(void)line;
}

FILE *
OpenRegular(const char *name, long long *written)
{
	struct _stat64 st;
	FILE *f;

	if ((f = fopen(name, "r")) == NULL)
		return NULL;
	if (StreamKind(f) != KindFile || _fstat64(_fileno(f), &st) != 0) {
		fclose(f);
		return NULL;
	}
	*written = st.st_mtime;
	return f;
}
