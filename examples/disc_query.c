/*
 * Asks an optical drive what disc it holds:
 *
 *   disc_query [GENERIC_NODE [DISC_NODE]]     (default /dev/sg0 /dev/scd0)
 *
 * and prints one line: the disc's kind, whether it can take more data,
 * its capacity and what is used. Each SCSI command waits up to 20 s for
 * the drive; a drive that is not ready is asked three times, a second
 * apart. The library's reports through COM_Message (each step) go to
 * standard error here; a few lines (the drive's identity, the raw
 * replies) are still printed on standard output by the library itself.
 *
 * Without a drive: with DVRPLAT_ROOT=DIR, the nodes are DIR/dev/sg0 and
 * so on, and a node that is a regular file starting with the line
 * "#dvrplat-sim-drive" is a simulated drive answering from its
 * description (the format is in devtest(1)). Exit status 0 when the
 * disc was read, 1 otherwise.
 */
#include <stdio.h>
#include <string.h>

#include "COMMON.h"
#include "DEV.h"

/* Every library report to standard error, unchanged. */
static void to_stderr(void *user, const char *file, int line, const char *function, const char *text)
{
    (void)user;
    fprintf(stderr, "%s,%d:%s(): %s", file, line, function, text);
}

static const char *kind(const DEV_DISC_INFO *d)
{
    static const char *const family[] = {"?", "CD", "DVD-ROM", "DVD-", "DVD+", "DVD-RAM", "DDCD"};
    static const char *const medium[] = {"", "ROM", "R", "RW", "RAM"};
    static char text[32];
    const char *f = d->type1 >= 1 && d->type1 <= 6 ? family[d->type1] : family[0];
    const char *m = d->type2 >= 1 && d->type2 <= 4 ? medium[d->type2] : medium[0];
    if (d->type1 == 2 || d->type1 == 5)
        m = ""; /* the family names the medium already */
    snprintf(text, sizeof text, "%s%s%s", f, d->type1 == 1 || d->type1 == 6 ? "-" : "", m);
    return text;
}

int main(int argc, char **argv)
{
    static const char *const state[] = {"empty", "open", "finalized", "random access"};
    DEV_INFO drive;
    const DEV_DISC_INFO *d = &drive.details.disc;
    int rc;

    if (argc > 3) {
        fprintf(stderr, "usage: disc_query [GENERIC_NODE [DISC_NODE]]\n");
        return 1;
    }
    COM_SetMessageHandler(to_stderr, NULL);

    /* A record as Dev_Get fills it for an optical drive: its generic node
     * carries the commands, the disc node names it in reports. */
    memset(&drive, 0, sizeof drive);
    snprintf(drive.sg, sizeof drive.sg, "%s", argc > 1 ? argv[1] : "/dev/sg0");
    snprintf(drive.dev, sizeof drive.dev, "%s", argc > 2 ? argv[2] : "/dev/scd0");
    drive.cdrom = 1;

    rc = Dev_GetDiscInfo(&drive);
    if (rc == -129) {
        printf("%s: no disc (the drive is not ready)\n", drive.dev);
        return 1;
    }
    if (rc != 0) {
        printf("%s: the disc could not be read (%d)\n", drive.dev, rc);
        return 1;
    }
    printf("%s: %s, %s, %llu KB, %llu KB used\n", drive.dev, kind(d),
           d->appendable >= 0 && d->appendable <= 3 ? state[d->appendable] : "?",
           (unsigned long long)d->total_capacity, (unsigned long long)d->used_capacity);
    return 0;
}
