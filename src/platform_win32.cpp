// Windows: the console, cmd.exe, and the file calls.  The system opens
// files by full name only, so a handle here is a slot in a small table
// that holds the system's handle and the full name it was opened by, and a
// name in a directory is that directory's full name and the name.  Every
// directory on the way is held open without leave to delete it: nobody can
// rename or remove it (nor, as Windows refuses to rename a folder with
// open files beneath it, a folder above it) while names in it are used.
#include <windows.h>
#include <aclapi.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <ntsecapi.h>
#include <sddl.h>

#include "platform.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// The runtime expands wildcards in the arguments before main, so *.txt
// arrives as the names of the matching files, as the command line expects.
extern "C" {
int _dowildcard = -1;
}

int Err;
const char LineEnd[] = "\r\n";

// Names as long as the system takes with the \\?\ prefix.
enum { WideMax = 32768 };

// Every file is left to others to read, write, rename or delete, as a
// plain fopen does; a directory to read and write only.
static const DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE |
    FILE_SHARE_DELETE;
static const DWORD ShareDir = FILE_SHARE_READ | FILE_SHARE_WRITE;

struct Slot {
	int used, dir;
	HANDLE h;      // INVALID_HANDLE_VALUE for the \\.\ namespace
	HANDLE mutex;  // the file's lock, while had
	wchar_t path[WideMax];
};
static Slot Table[16];

// What Hold holds, and the control handler takes before it cleans up.
static CRITICAL_SECTION Held;
static int HeldReady;
static void (*Clean)(void);

static BOOL WINAPI
Ended(DWORD event)
{
	// A logoff need not end a process outside the user's session.
	if (event == CTRL_LOGOFF_EVENT)
		return FALSE;
	// Never let go: the run is ending, and once cleaned up must not go
	// on to make or put anything in place.
	EnterCriticalSection(&Held);
	if (Clean)
		Clean();
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
Prepare(void (*clean)(void))
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
	InitializeCriticalSection(&Held);
	HeldReady = 1;
	Clean = clean;
	SetConsoleCtrlHandler(Ended, TRUE);
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

// The reason for the system's error e, and -1.
static int
Fail(DWORD e)
{
	switch (e) {
	case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND:
	case ERROR_INVALID_DRIVE: case ERROR_BAD_NETPATH: case ERROR_BAD_NET_NAME:
		Err = ErrMissing;
		break;
	case ERROR_FILE_EXISTS: case ERROR_ALREADY_EXISTS:
		Err = ErrExists;
		break;
	case ERROR_ACCESS_DENIED: case ERROR_WRITE_PROTECT:
	case ERROR_PRIVILEGE_NOT_HELD: case ERROR_LOCK_VIOLATION:
		Err = ErrDenied;
		break;
	case ERROR_SHARING_VIOLATION: case ERROR_BUSY: case ERROR_PIPE_BUSY:
		Err = ErrBusy;
		break;
	case ERROR_CANT_RESOLVE_FILENAME:
		Err = ErrLoop;
		break;
	case ERROR_DIRECTORY:
		Err = ErrNotDir;
		break;
	case ERROR_DISK_FULL: case ERROR_HANDLE_DISK_FULL:
		Err = ErrNoSpace;
		break;
	case ERROR_NOT_SUPPORTED: case ERROR_INVALID_FUNCTION:
	case ERROR_INVALID_PARAMETER: case ERROR_NOT_SAME_DEVICE:
	case ERROR_CALL_NOT_IMPLEMENTED:
		Err = ErrUnsupported;
		break;
	default:
		Err = ErrOther;
	}
	return -1;
}

static int
Failed(void)
{
	return Fail(GetLastError());
}

static int
IsSlash(wchar_t c)
{
	return c == L'\\' || c == L'/';
}

int
IsSep(int c)
{
	return c == '/' || c == '\\';
}

// In a double-byte code page (Japanese, Chinese, Korean) the second byte
// of a character can be a backslash.
int
IsLead(int c)
{
	return IsDBCSLeadByte((BYTE)c);
}

// Where a name is given as is, not made whole by the system: \\?\ and
// \\.\ names.
static int
Verbatim(const wchar_t *p)
{
	return p[0] == L'\\' && p[1] == L'\\' && (p[2] == L'?' || p[2] == L'.') &&
	    p[3] == L'\\';
}

// The length of the root of a full name: C:\, \\server\share\, \\?\C:\,
// \\?\UNC\server\share\, \\?\Volume{...}\, or \\.\ for the devices; 0 for
// any other name.
static size_t
RootLen(const wchar_t *p)
{
	size_t n = 0;
	int parts;

	if (p[0] && p[1] == L':' && IsSlash(p[2]))
		return 3;
	if (!IsSlash(p[0]) || !IsSlash(p[1]))
		return 0;
	if (Verbatim(p)) {
		if (p[2] == L'.')
			return 4;
		if (p[4] && p[5] == L':' && p[6] == L'\\')
			return 7;
		n = wcsncmp(p + 4, L"UNC\\", 4) == 0 ? 8 : 4;
		parts = n == 8 ? 2 : 1;
	} else {
		n = 2;
		parts = 2;
	}
	for (; parts > 0; parts--) {
		if (p[n] == 0 || IsSlash(p[n]))
			return 0;
		while (p[n] && !IsSlash(p[n]))
			n++;
		if (p[n])
			n++;
	}
	return n;
}

// With the \\?\ prefix where the plain form is too long for the system.
static int
Long(wchar_t *p)
{
	size_t n = wcslen(p);

	if (n < MAX_PATH - 20 || Verbatim(p))
		return 1;
	if (n + 8 >= WideMax)
		return 0;
	if (IsSlash(p[0]) && IsSlash(p[1])) {
		wmemmove(p + 8, p + 2, n - 1);
		wmemcpy(p, L"\\\\?\\UNC\\", 8);
	} else {
		wmemmove(p + 4, p, n + 1);
		wmemcpy(p, L"\\\\?\\", 4);
	}
	return 1;
}

static Slot *
SlotOf(int fd)
{
	if (fd < 0 || fd >= (int)(sizeof Table / sizeof Table[0]) ||
	    !Table[fd].used) {
		Err = ErrOther;
		return NULL;
	}
	return &Table[fd];
}

// A slot for h, opened by path; -1 (h closed) when all are taken.
static int
Take(HANDLE h, const wchar_t *path, int dir)
{
	int i;

	for (i = 0; i < (int)(sizeof Table / sizeof Table[0]); i++) {
		if (!Table[i].used) {
			Table[i].used = 1;
			Table[i].dir = dir;
			Table[i].h = h;
			Table[i].mutex = NULL;
			wcscpy(Table[i].path, path);
			return i;
		}
	}
	if (h != INVALID_HANDLE_VALUE)
		CloseHandle(h);
	Err = ErrOther;
	return -1;
}

// The full name that the system makes of name, into out.
static int
Whole(const wchar_t *name, wchar_t *out)
{
	DWORD k = GetFullPathNameW(name, WideMax - 8, out, NULL);

	if (k == 0 || k >= WideMax - 8 || !Long(out))
		return Fail(ERROR_FILENAME_EXCED_RANGE);
	return 0;
}

// The full name of name in dir, into out: "." is dir itself, ".." its
// parent.  The system makes a plain name whole (and a device name, such as
// NUL, its device's); a \\?\ name is taken as it is.
static int
Join(int dir, const char *name, wchar_t *out)
{
	wchar_t wn[MAX_PATH + 1], tmp[WideMax];
	const wchar_t *d;
	Slot *s;
	size_t n, r;

	if (!Wide(name, wn, MAX_PATH + 1))
		return Fail(ERROR_FILENAME_EXCED_RANGE);
	if (dir == Cwd)
		return Whole(wn, out);
	if ((s = SlotOf(dir)) == NULL)
		return -1;
	d = s->path;
	n = wcslen(d);
	if (n + wcslen(wn) + 2 >= WideMax - 8)
		return Fail(ERROR_FILENAME_EXCED_RANGE);
	wcscpy(out, d);
	if (Verbatim(d)) {
		r = RootLen(d);
		if (wcscmp(wn, L"..") == 0) {
			while (n > r && IsSlash(out[n - 1]))
				n--;
			while (n > r && !IsSlash(out[n - 1]))
				n--;
			out[n > r ? n - 1 : r] = 0;
		} else if (wcscmp(wn, L".") != 0) {
			if (!IsSlash(out[n - 1]))
				out[n++] = L'\\';
			wcscpy(out + n, wn);
		}
		return 0;
	}
	wcscpy(tmp, out);
	if (!IsSlash(tmp[n - 1]))
		tmp[n++] = L'\\';
	wcscpy(tmp + n, wn);
	return Whole(tmp, out);
}

// What reparse point h is: 0 none, 1 a name that leads elsewhere (a
// symbolic link, a junction), 2 another (a placeholder, say).
static int
Reparse(HANDLE h, DWORD attr)
{
	FILE_ATTRIBUTE_TAG_INFO tag;

	if (!(attr & FILE_ATTRIBUTE_REPARSE_POINT))
		return 0;
	return GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag,
	    sizeof tag) && IsReparseTagNameSurrogate(tag.ReparseTag) ? 1 : 2;
}

// Opens the directory path (not through a link) into a slot.
static int
DirSlot(const wchar_t *path)
{
	BY_HANDLE_FILE_INFORMATION fi;
	HANDLE h;
	DWORD e;

	h = CreateFileW(path, FILE_READ_ATTRIBUTES, ShareDir, NULL, OPEN_EXISTING,
	    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return Failed();
	if (!GetFileInformationByHandle(h, &fi)) {
		e = GetLastError();
		CloseHandle(h);
		return Fail(e);
	}
	if (Reparse(h, fi.dwFileAttributes) == 1 ||
	    !(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
		CloseHandle(h);
		return Fail(fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ?
		    ERROR_CANT_RESOLVE_FILENAME : ERROR_DIRECTORY);
	}
	return Take(h, path, 1);
}

// A full name is rooted at its drive, share or volume; "\x" at the current
// drive's root; "C:x" at the current directory of drive C, as cmd takes
// it.  The devices' \\.\ has no handle of its own.
size_t
Root(const char *path, int *dir)
{
	wchar_t w[WideMax], root[WideMax];
	size_t n, k;

	*dir = -1;
	if (!Wide(path, w, WideMax)) {
		Fail(ERROR_FILENAME_EXCED_RANGE);
		return 0;
	}
	if ((n = RootLen(w)) > 0) {
		wmemcpy(root, w, n);
		root[n] = 0;
		if (!IsSlash(root[n - 1]))
			wcscat(root, L"\\");
		for (k = 0; !Verbatim(root) && root[k]; k++)
			if (root[k] == L'/')
				root[k] = L'\\';
		// Its length in the bytes of path.
		n = (size_t)WideCharToMultiByte(CP_ACP, 0, w, (int)n, NULL, 0,
		    NULL, NULL);
	} else if (w[0] && w[1] == L':') {
		w[2] = 0;
		n = 2;
	} else if (IsSlash(w[0]) && !IsSlash(w[1])) {
		wcscpy(w, L"\\");
		n = 1;
	} else if (IsSlash(w[0])) {
		Fail(ERROR_BAD_PATHNAME);
		return 0;
	} else {
		*dir = Cwd;
		return 0;
	}
	// "C:" and "\" as the system makes them whole.
	if (n < 3 && Whole(w, root) != 0)
		return 0;
	if (wcscmp(root, L"\\\\.\\") == 0)
		*dir = Take(INVALID_HANDLE_VALUE, root, 1);
	else
		*dir = DirSlot(root);
	return n;
}

// Owners are told apart only where the policy asks who made a link: the
// runner is 1, so that it is never taken for root (0), and anyone else is
// Stranger.
enum { Stranger = 2 };

long
Runner(void)
{
	return 1;
}

// The accounts whose links count as root's: LocalSystem, the Administrators
// group (which owns what an elevated administrator makes) and
// TrustedInstaller.
static const wchar_t *const RootSids[] = { L"S-1-5-18", L"S-1-5-32-544",
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464" };

// Who owns the link at path, which must still be the file fi describes:
// Runner() for the account this process runs as, 0 for the system's own,
// Stranger for anyone else and wherever it cannot be told.
static long
Owner(const wchar_t *path, const BY_HANDLE_FILE_INFORMATION *fi)
{
	union {
		TOKEN_USER tu;
		char buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
	} me;
	BY_HANDLE_FILE_INFORMATION now;
	PSECURITY_DESCRIPTOR sd = NULL;
	wchar_t *text = NULL;
	HANDLE h, tok;
	PSID sid;
	DWORD n;
	long who = Stranger;
	size_t k;

	if (path == NULL)
		return Stranger;
	h = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, ShareAll, NULL,
	    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
	    NULL);
	if (h == INVALID_HANDLE_VALUE)
		return Stranger;
	if (GetFileInformationByHandle(h, &now) &&
	    now.dwVolumeSerialNumber == fi->dwVolumeSerialNumber &&
	    now.nFileIndexHigh == fi->nFileIndexHigh &&
	    now.nFileIndexLow == fi->nFileIndexLow &&
	    GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &sid,
	    NULL, NULL, NULL, &sd) == ERROR_SUCCESS && sid != NULL) {
		if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &tok)) {
			if (GetTokenInformation(tok, TokenUser, &me, sizeof me, &n) &&
			    EqualSid(sid, me.tu.User.Sid))
				who = Runner();
			CloseHandle(tok);
		}
		if (who == Stranger && ConvertSidToStringSidW(sid, &text)) {
			for (k = 0; k < sizeof RootSids / sizeof RootSids[0]; k++)
				if (wcscmp(text, RootSids[k]) == 0)
					who = 0;
			LocalFree(text);
		}
	}
	if (sd != NULL)
		LocalFree(sd);
	CloseHandle(h);
	return who;
}

int
Umask(void)
{
	int m = _umask(0);

	_umask(m);
	return m;
}

// What the open h (opened by path, where known) is.  Permission bits that
// the policy reads as a file of the runner's own that nobody else can
// write: 0700 for a directory, 0600 for a file, 0400 for a read-only one.
// Only a link is given its true owner; any other file is the runner's.
static int
Fill(HANDLE h, const wchar_t *path, Info *in)
{
	BY_HANDLE_FILE_INFORMATION fi;
	FILE_STANDARD_INFO si;
	DWORD type = GetFileType(h);

	memset(in, 0, sizeof *in);
	in->uid = in->gid = Runner();
	in->mode = 0600;
	in->links = 1;
	if (type == FILE_TYPE_PIPE) {
		in->kind = KindPipe;
		return 0;
	}
	if (type != FILE_TYPE_DISK) {
		in->kind = KindOther;
		return 0;
	}
	if (!GetFileInformationByHandle(h, &fi))
		return Failed();
	in->dev = fi.dwVolumeSerialNumber;
	in->ino = (unsigned long long)fi.nFileIndexHigh << 32 | fi.nFileIndexLow;
	in->links = (long)fi.nNumberOfLinks;
	// A file whose last name was taken from it while open has no name
	// left, though its count may still say one.
	if (GetFileInformationByHandleEx(h, FileStandardInfo, &si, sizeof si) &&
	    si.DeletePending)
		in->links = 0;
	in->size = (long long)fi.nFileSizeHigh << 32 | fi.nFileSizeLow;
	// From 100 ns steps since 1601 to seconds since 1970.
	in->written = (long long)(((unsigned long long)
	    fi.ftLastWriteTime.dwHighDateTime << 32 |
	    fi.ftLastWriteTime.dwLowDateTime) / 10000000u) - 11644473600ll;
	if (Reparse(h, fi.dwFileAttributes) == 1) {
		in->kind = KindLink;
		in->uid = Owner(path, &fi);
	} else if (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
		in->kind = KindDir;
		in->mode = 0700;
	} else {
		in->kind = KindFile;
		if (fi.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
			in->mode = 0400;
	}
	return 0;
}

Kind
StreamKind(FILE *fp)
{
	HANDLE h = (HANDLE)_get_osfhandle(_fileno(fp));
	Info in;

	return h != INVALID_HANDLE_VALUE && Fill(h, NULL, &in) == 0 ? in.kind :
	    KindNone;
}

// Opens path to look at it, itself or (with follow) what a link names.
static HANDLE
Peek(const wchar_t *path, int follow)
{
	return CreateFileW(path, FILE_READ_ATTRIBUTES, ShareAll, NULL,
	    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS |
	    (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), NULL);
}

int
Look(int dir, const char *name, Info *in)
{
	wchar_t path[WideMax];
	HANDLE h;
	int r;

	if (Join(dir, name, path) != 0)
		return -1;
	if ((h = Peek(path, 0)) == INVALID_HANDLE_VALUE)
		return Failed();
	r = Fill(h, path, in);
	CloseHandle(h);
	return r;
}

int
Stat(int fd, Info *in)
{
	Slot *s;

	if (fd == Cwd)
		return Look(Cwd, ".", in);
	if ((s = SlotOf(fd)) == NULL)
		return -1;
	if (s->h == INVALID_HANDLE_VALUE) {
		memset(in, 0, sizeof *in);
		in->kind = KindDir;
		in->uid = in->gid = Runner();
		in->mode = 0700;
		in->links = 1;
		return 0;
	}
	return Fill(s->h, s->path, in);
}

// The full name of the file that the link leads to, which Root takes.
int
ReadLink(int dir, const char *name, char *buf, size_t size)
{
	wchar_t path[WideMax];
	BOOL lossy = FALSE;
	HANDLE h;
	DWORD n;
	int k;

	if (Join(dir, name, path) != 0)
		return -1;
	if ((h = Peek(path, 1)) == INVALID_HANDLE_VALUE)
		return Failed();
	n = GetFinalPathNameByHandleW(h, path, WideMax,
	    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
	CloseHandle(h);
	if (n == 0 || n >= WideMax)
		return Failed();
	k = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path, -1, buf,
	    (int)size, NULL, &lossy);
	if (k <= 0 || lossy)
		return Fail(ERROR_FILENAME_EXCED_RANGE);
	return k - 1;
}

int
OpenDir(int dir, const char *name)
{
	wchar_t path[WideMax];

	if (Join(dir, name, path) != 0)
		return -1;
	return DirSlot(path);
}

int
Open(int dir, const char *name, How how, int mode, int follow)
{
	static const DWORD access[] = { GENERIC_READ, GENERIC_WRITE,
	    GENERIC_READ | GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE | WRITE_DAC };
	BY_HANDLE_FILE_INFORMATION fi;
	wchar_t path[WideMax];
	DWORD attr = FILE_ATTRIBUTE_NORMAL;
	HANDLE h;
	int r;

	if (Join(dir, name, path) != 0)
		return -1;
	if (how == ForNew && !(mode & 0200))
		attr = FILE_ATTRIBUTE_READONLY;
	for (;;) {
		h = CreateFileW(path, access[how], ShareAll, NULL,
		    how == ForNew ? CREATE_NEW : OPEN_EXISTING,
		    attr | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), NULL);
		if (h == INVALID_HANDLE_VALUE)
			return Failed();
		r = follow || GetFileType(h) != FILE_TYPE_DISK ||
		    !GetFileInformationByHandle(h, &fi) ? 0 :
		    Reparse(h, fi.dwFileAttributes);
		if (r == 0)
			return Take(h, path, 0);
		CloseHandle(h);
		if (r == 1)
			return Fail(ERROR_CANT_RESOLVE_FILENAME);
		// Not a link: the file itself is behind it.
		follow = 1;
	}
}

void
Close(int fd)
{
	Slot *s;

	if (fd == Cwd || (s = SlotOf(fd)) == NULL)
		return;
	if (s->mutex != NULL) {
		ReleaseMutex(s->mutex);
		CloseHandle(s->mutex);
	}
	if (s->h != INVALID_HANDLE_VALUE)
		CloseHandle(s->h);
	s->used = 0;
}

// The mutex that runs on the file meet at, named for the folder that holds
// it (its volume and file index, which every spelling of the folder
// shares: another drive letter, a share, a linked folder) and a hash of
// the file's long name in capitals (so that a short name meets it too).
// A file made anew or replaced by another run keeps its name, and so its
// mutex.  Global, so that a scheduled task and a run from the desktop
// meet too; nothing is made on disk, and a run that dies lets go of it.
// Null when there is none to be had: one that another account's run made
// is closed to this one.
static HANDLE
LockOf(const wchar_t *path)
{
	wchar_t full[WideMax];
	BY_HANDLE_FILE_INFORMATION info;
	unsigned long long hash = 14695981039346656037ull;
	wchar_t name[80];
	const wchar_t *p;
	HANDLE d, m;
	size_t n;
	DWORD k;

	k = GetLongPathNameW(path, full, WideMax);
	if (k == 0 || k >= WideMax)
		wcscpy(full, path);
	for (n = wcslen(full); n > 0 && !IsSlash(full[n - 1]); n--)
		;
	if (n == 0)
		return NULL;
	for (p = full + n; *p; p++)
		hash = (hash ^ (unsigned long long)(ULONG_PTR)CharUpperW(
		    (LPWSTR)(ULONG_PTR)*p)) * 1099511628211ull;
	full[n] = 0;  // the folder, its last separator kept
	d = CreateFileW(full, FILE_READ_ATTRIBUTES, ShareAll, NULL, OPEN_EXISTING,
	    FILE_FLAG_BACKUP_SEMANTICS, NULL);
	if (d == INVALID_HANDLE_VALUE)
		return NULL;
	k = GetFileInformationByHandle(d, &info);
	CloseHandle(d);
	if (!k)
		return NULL;
	swprintf(name, 80, L"Global\\torquelin-%08lx-%08lx%08lx-%08lx%08lx",
	    (unsigned long)info.dwVolumeSerialNumber,
	    (unsigned long)info.nFileIndexHigh, (unsigned long)info.nFileIndexLow,
	    (unsigned long)(hash >> 32), (unsigned long)(hash & 0xffffffffu));
	if ((m = CreateMutexW(NULL, FALSE, name)) == NULL &&
	    GetLastError() == ERROR_ACCESS_DENIED)
		m = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
	return m;
}

int
Lock(int fd, double seconds)
{
	Slot *s;
	HANDLE m;
	DWORD w;

	if ((s = SlotOf(fd)) == NULL)
		return -1;
	if (s->mutex != NULL)
		return 1;
	if ((m = LockOf(s->path)) == NULL) {
		Err = ErrUnsupported;
		return -1;
	}
	w = WaitForSingleObject(m, seconds > 0 ? (DWORD)(seconds * 1000) : 0);
	if (w == WAIT_OBJECT_0 || w == WAIT_ABANDONED) {
		s->mutex = m;
		return 1;
	}
	CloseHandle(m);
	return w == WAIT_TIMEOUT ? 0 : -1;
}

int
Unnamed(int)
{
	Err = ErrUnsupported;
	return -1;
}

int
Name(int, int, const char *)
{
	Err = ErrUnsupported;
	return -1;
}

void
Random(unsigned char *buf, size_t n)
{
	static unsigned long long mix;
	LARGE_INTEGER t;
	size_t i;

	if (RtlGenRandom(buf, (ULONG)n))
		return;
	// Without it a name still differs from run to run; that it can be
	// guessed costs only the replacement.
	QueryPerformanceCounter(&t);
	mix += (unsigned long long)GetCurrentProcessId() * 2654435761u +
	    (unsigned long long)t.QuadPart;
	for (i = 0; i < n; i++) {
		mix = mix * 6364136223846793005ull + 1442695040888963407ull;
		buf[i] = (unsigned char)(mix >> 56);
	}
}

// Clears path's read-only attribute; the attributes it had, or 0.
static DWORD
Writable(const wchar_t *path)
{
	DWORD a = GetFileAttributesW(path);

	if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_READONLY) ||
	    !SetFileAttributesW(path, a & ~FILE_ATTRIBUTE_READONLY))
		return 0;
	return a;
}

// FILE_RENAME_INFO as Windows 10 takes it for FileRenameInfoEx: flags where
// ReplaceIfExists was.
struct RenameInfo {
	DWORD flags;
	HANDLE root;
	DWORD length;
	wchar_t name[WideMax];
};
enum { RenameInfoEx = 22, ReplaceIfExists = 1, PosixSemantics = 2 };

// Renames a over b as POSIX does, by a's handle: b is replaced even while
// someone (this run, too) has it open, as Windows 10 does on NTFS; false
// where the system cannot.
static int
PosixRename(const wchar_t *a, const wchar_t *b)
{
	static RenameInfo ri;
	size_t n = wcslen(b);
	HANDLE h;
	BOOL ok;

	h = CreateFileW(a, DELETE | SYNCHRONIZE, ShareAll, NULL, OPEN_EXISTING,
	    FILE_FLAG_OPEN_REPARSE_POINT, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return 0;
	memset(&ri, 0, offsetof(RenameInfo, name));
	ri.flags = ReplaceIfExists | PosixSemantics;
	ri.length = (DWORD)(n * sizeof(wchar_t));
	wmemcpy(ri.name, b, n + 1);
	ok = SetFileInformationByHandle(h, (FILE_INFO_BY_HANDLE_CLASS)RenameInfoEx,
	    &ri, (DWORD)(offsetof(RenameInfo, name) + (n + 1) * sizeof(wchar_t)));
	CloseHandle(h);
	return ok;
}

// A file is replaced or removed whatever its read-only attribute says, as
// a name is on POSIX.  Where the system cannot replace a file that is open
// (before Windows 10, other file systems, Wine), MoveFileExW does while
// nobody has it open, and someone who holds it for an instant (a virus
// scanner) is waited for briefly.
int
Rename(int dir, const char *from, const char *to)
{
	wchar_t a[WideMax], b[WideMax];
	DWORD e, old = 0;
	int i;

	if (Join(dir, from, a) != 0 || Join(dir, to, b) != 0)
		return -1;
	for (i = 0;; i++) {
		if (PosixRename(a, b) || MoveFileExW(a, b,
		    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
			return 0;
		e = GetLastError();
		if (e == ERROR_ACCESS_DENIED && old == 0 && (old = Writable(b)) != 0)
			continue;
		if (e != ERROR_SHARING_VIOLATION || i >= 5)
			break;
		Sleep(10);
	}
	if (old != 0)
		SetFileAttributesW(b, old);
	return Fail(e);
}

int
Move(int dir, const char *from, const char *to)
{
	wchar_t a[WideMax], b[WideMax];

	if (Join(dir, from, a) != 0 || Join(dir, to, b) != 0)
		return -1;
	return MoveFileExW(a, b, MOVEFILE_WRITE_THROUGH) ? 0 : Failed();
}

int
Remove(int dir, const char *name)
{
	wchar_t path[WideMax];
	DWORD e;

	if (Join(dir, name, path) != 0)
		return -1;
	if (DeleteFileW(path))
		return 0;
	e = GetLastError();
	if (e == ERROR_ACCESS_DENIED && Writable(path) != 0 && DeleteFileW(path))
		return 0;
	return Fail(e);
}

// The system's handle of fd, or INVALID_HANDLE_VALUE.
static HANDLE
H(int fd)
{
	Slot *s = SlotOf(fd);

	return s ? s->h : INVALID_HANDLE_VALUE;
}

int
WriteAt(int fd, const char *p, size_t n, long long off)
{
	HANDLE h = H(fd);
	OVERLAPPED o;
	DWORD k, w;

	while (n > 0) {
		k = n < (1u << 30) ? (DWORD)n : 1u << 30;
		memset(&o, 0, sizeof o);
		o.Offset = (DWORD)off;
		o.OffsetHigh = (DWORD)((unsigned long long)off >> 32);
		if (!WriteFile(h, p, k, &w, off < 0 ? NULL : &o))
			return Failed();
		if (w == 0)
			return Fail(ERROR_WRITE_FAULT);
		p += w;
		n -= w;
		if (off >= 0)
			off += w;
	}
	return 0;
}

int
Truncate(int fd, long long size)
{
	FILE_END_OF_FILE_INFO e;

	e.EndOfFile.QuadPart = size;
	return SetFileInformationByHandle(H(fd), FileEndOfFileInfo, &e,
	    sizeof e) ? 0 : Failed();
}

int
Reserve(int fd, long long size)
{
	FILE_ALLOCATION_INFO a;
	LARGE_INTEGER now;
	HANDLE h = H(fd);
	DWORD e;

	if (size <= 0)
		return 1;
	// Never below the file's end, which would cut it.
	if (!GetFileSizeEx(h, &now))
		return Failed();
	a.AllocationSize.QuadPart = size > now.QuadPart ? size : now.QuadPart;
	if (SetFileInformationByHandle(h, FileAllocationInfo, &a, sizeof a))
		return 1;
	e = GetLastError();
	Fail(e);
	return e == ERROR_DISK_FULL || e == ERROR_HANDLE_DISK_FULL ? 0 : -1;
}

// A directory is opened again to write, which flushing its names takes.
int
Sync(int fd)
{
	wchar_t path[WideMax];
	Slot *s = NULL;
	HANDLE h;
	BOOL ok;

	if (fd != Cwd && (s = SlotOf(fd)) == NULL)
		return -1;
	if (s && !s->dir)
		return FlushFileBuffers(s->h) ? 0 : Failed();
	if (Join(fd, ".", path) != 0)
		return -1;
	h = CreateFileW(path, GENERIC_WRITE, ShareAll, NULL, OPEN_EXISTING,
	    FILE_FLAG_BACKUP_SEMANTICS, NULL);
	if (h == INVALID_HANDLE_VALUE)
		return Failed();
	ok = FlushFileBuffers(h);
	CloseHandle(h);
	return ok ? 0 : Failed();
}

long long
CopyData(int in, int out)
{
	static char buf[1 << 16];
	HANDLE h = H(in);
	long long total = 0;
	DWORD n;

	for (;;) {
		if (!ReadFile(h, buf, sizeof buf, &n, NULL)) {
			// A pipe's writer gone is its end, like a file's.
			if (GetLastError() == ERROR_BROKEN_PIPE)
				return total;
			return Failed();
		}
		if (n == 0)
			return total;
		if (WriteAt(out, buf, n, -1) != 0)
			return -1;
		total += n;
	}
}

int
Rewind(int fd)
{
	LARGE_INTEGER zero;

	zero.QuadPart = 0;
	return SetFilePointerEx(H(fd), zero, NULL, FILE_BEGIN) ? 0 : Failed();
}

// Sets the attributes of h that are in mask to those in set.
static int
Attributes(HANDLE h, DWORD mask, DWORD set)
{
	BY_HANDLE_FILE_INFORMATION fi;
	FILE_BASIC_INFO b;

	if (!GetFileInformationByHandle(h, &fi))
		return 0;
	memset(&b, 0, sizeof b);  // times of 0 stay as they are
	b.FileAttributes = (fi.dwFileAttributes & ~mask) | (set & mask);
	if (b.FileAttributes == 0)
		b.FileAttributes = FILE_ATTRIBUTE_NORMAL;
	return SetFileInformationByHandle(h, FileBasicInfo, &b, sizeof b);
}

// The new file takes on what the old one is besides its data: its access
// list, protected from its folder's or inheriting as it did, and its
// read-only, hidden, system and archive attributes.  Its owner cannot be
// given: where the old one's is another, the file is written in place.
int
Keep(int from, int to, const Info *)
{
	static const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
	    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
	    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
	PSECURITY_DESCRIPTOR sd = NULL, mine = NULL;
	BY_HANDLE_FILE_INFORMATION fi;
	SECURITY_DESCRIPTOR_CONTROL ctl;
	PSID owner, me;
	PACL dacl;
	DWORD rev;
	HANDLE a = H(from), b = H(to);
	int ok;

	if (GetSecurityInfo(a, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION |
	    DACL_SECURITY_INFORMATION, &owner, NULL, &dacl, NULL, &sd) !=
	    ERROR_SUCCESS)
		return 0;
	ok = GetSecurityInfo(b, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &me,
	    NULL, NULL, NULL, &mine) == ERROR_SUCCESS && EqualSid(owner, me) &&
	    GetSecurityDescriptorControl(sd, &ctl, &rev) &&
	    SetSecurityInfo(b, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION |
	    (ctl & SE_DACL_PROTECTED ? PROTECTED_DACL_SECURITY_INFORMATION :
	    UNPROTECTED_DACL_SECURITY_INFORMATION), NULL, NULL, dacl, NULL) ==
	    ERROR_SUCCESS;
	LocalFree(sd);
	if (mine != NULL)
		LocalFree(mine);
	return ok && GetFileInformationByHandle(a, &fi) &&
	    Attributes(b, kept, fi.dwFileAttributes);
}

// Only the owner's write bit means anything here: the read-only attribute.
int
Chmod(int fd, int mode)
{
	return Attributes(H(fd), FILE_ATTRIBUTE_READONLY, mode & 0200 ? 0 :
	    FILE_ATTRIBUTE_READONLY) ? 0 : Failed();
}

// In text mode, as the runtime reads text files: CR LF is a line end, and
// a Ctrl-Z ends the file.
FILE *
Reader(int fd)
{
	HANDLE h;
	FILE *fp;
	int d;

	if (!DuplicateHandle(GetCurrentProcess(), H(fd), GetCurrentProcess(), &h,
	    0, FALSE, DUPLICATE_SAME_ACCESS))
		return NULL;
	SetFilePointer(h, 0, NULL, FILE_BEGIN);
	if ((d = _open_osfhandle((intptr_t)h, _O_RDONLY | _O_TEXT)) < 0) {
		CloseHandle(h);
		return NULL;
	}
	if ((fp = _fdopen(d, "r")) == NULL)
		_close(d);
	return fp;
}

void
Hold(int on)
{
	if (!HeldReady)
		return;
	if (on)
		EnterCriticalSection(&Held);
	else
		LeaveCriticalSection(&Held);
}

double
Clock(void)
{
	static LARGE_INTEGER hz;
	LARGE_INTEGER t;

	if (hz.QuadPart == 0)
		QueryPerformanceFrequency(&hz);
	QueryPerformanceCounter(&t);
	return (double)t.QuadPart / (double)hz.QuadPart;
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
