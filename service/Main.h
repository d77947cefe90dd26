// The program's one entry, and the process-wide state of its roles.
#pragma once

// Retries of "-delfile" so far.
extern int g_deleteRetryCount;

// Chooses the process's role from argv[1] and plays it. Returns 0 on every path; the
// "-idletask" role returns only when the watcher cannot create its mutex.
int wmain(int argc, wchar_t* argv[], wchar_t* envp[]);
