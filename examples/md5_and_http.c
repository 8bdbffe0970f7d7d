/*
 * The MD5 digest of a file, and optionally the body of an HTTP page:
 *
 *   md5_and_http FILE [URL]
 *
 * URL is host[:port][/path] without a scheme (the library's form). The
 * digest is COM_MakeFileMD5's 32 hexadecimal characters, as md5sum shows
 * them. COM_GetHttpContent resolves the host (DNS_GetA, up to 6 s per
 * query), connects to each address in turn and reads the response (about
 * 10 s at most per address); the body comes back in a malloc'd buffer the
 * caller frees. Exit status 0, or 1 on the first failure (the library has
 * reported why on standard output).
 */
#include <stdio.h>
#include <stdlib.h>

#include "COMMON.h"

int main(int argc, char **argv)
{
    char digest[33] = {0};

    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: md5_and_http FILE [URL]\n");
        return 1;
    }
    if (COM_MakeFileMD5(digest, argv[1]) != 0)
        return 1;
    printf("%s  %s\n", digest, argv[1]);

    if (argc == 3) {
        char *body = NULL;
        int n = COM_GetHttpContent(argv[2], &body, NULL);
        if (n <= 0) {
            free(body);
            return 1;
        }
        printf("%s: %d bytes\n%s\n", argv[2], n - 1, body);
        free(body);
    }
    return 0;
}
