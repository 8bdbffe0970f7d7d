/*
 * Sends the library's reports to the system log instead of standard
 * output, for a program whose standard output is a pipe or a protocol.
 *
 *   report_to_syslog [FILE]
 *
 * Reads the first line of FILE (default /etc/hostname) with
 * COM_GetFileContent; a failure report of the library goes to syslog with
 * the reporting module, line and function, and the program's own output
 * stays clean. Ends by restoring the default and reporting once more on
 * standard output.
 */
#include <stdio.h>
#include <string.h>
#include <syslog.h>

#include "COMMON.h"

/* One syslog entry per report: the module, line and function first, then
 * the message without its line end. */
static void to_syslog(void *user, const char *file, int line, const char *function, const char *text)
{
    int priority = *(const int *)user;
    size_t len = strlen(text);
    if (len > 0 && text[len - 1] == '\n')
        --len;
    if (function)
        syslog(priority, "%s:%d %s(): %.*s", file, line, function, (int)len, text);
    else
        syslog(priority, "%s:%d: %.*s", file, line, (int)len, text);
}

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : "/etc/hostname";
    static int priority = LOG_WARNING;
    char first_line[256];

    openlog("report_to_syslog", LOG_PID, LOG_USER);
    COM_SetMessageHandler(to_syslog, &priority);

    /* A directory cannot be read as a file: the library reports that, to
     * syslog now, and leaves "unknown" in the buffer. */
    if (COM_GetFileContent(path, first_line, (int)sizeof first_line) == 0)
        printf("first line of %s: %s\n", path, first_line);
    else
        printf("could not read %s (the reason is in the system log)\n", path);

    COM_SetMessageHandler(NULL, NULL);
    COM_Message("example", __LINE__, "main", "reports go to standard output again\n");
    closelog();
    return 0;
}
