/*
 * Looks names up with the library's resolver, against the name servers of
 * /etc/resolv.conf (under DVRPLAT_ROOT when that is set):
 *
 *   dns_lookup NAME...        addresses (A records)
 *   dns_lookup -mx DOMAIN...  mail exchangers, best preference first
 *
 * Each query waits up to 6 s for an answer from each name server. Exit
 * status 0 when every name was found, 1 otherwise. Put the library's
 * reports aside with COM_SetMessageHandler when standard output must hold
 * only the answers; here they stay, to show why a lookup failed.
 */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>

#include "DNS.h"

int main(int argc, char **argv)
{
    int mx = argc > 1 && strcmp(argv[1], "-mx") == 0;
    int first = mx ? 2 : 1;
    int failed = 0;
    int i, k;

    if (argc <= first) {
        fprintf(stderr, "usage: dns_lookup [-mx] NAME...\n");
        return 1;
    }
    for (i = first; i < argc; ++i) {
        /* Zero-filled: the list ends at the first entry whose flag is 0. */
        DNS_ADDR_REC found[DNS_ADDR_REC_MAX];
        memset(found, 0, sizeof found);
        if ((mx ? DNS_GetMX(argv[i], found) : DNS_GetA(argv[i], found)) != 0) {
            printf("%s: not found\n", argv[i]);
            failed = 1;
            continue;
        }
        for (k = 0; k < DNS_ADDR_REC_MAX && found[k].flag; ++k) {
            struct in_addr a;
            a.s_addr = found[k].ip;
            printf("%s: %s%s\n", argv[i], inet_ntoa(a), found[k].type == 15 ? " (mail exchanger)" : "");
        }
    }
    return failed;
}
