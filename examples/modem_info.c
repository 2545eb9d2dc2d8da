/* Prints the modem's identity and signal quality through the tbox SDK.
 * Build against an installed SDK:  cc modem_info.c $(pkg-config --cflags --libs tbox) -o modem_info */
#include <stdio.h>
#include <string.h>

#include <tbox/at.h>

static void trim(char *s) {
    size_t n = strlen(s);
    while (n > 0 && (s[n - 1] == '\r' || s[n - 1] == '\n' || s[n - 1] == ' ')) s[--n] = '\0';
}

int main(void) {
    char answer[256];
    unsigned char csq = 0;
    int rc;

    if (InitAtInterface(NULL) != 0) {
        fprintf(stderr, "modem_info: cannot reach the AT service\n");
        return 1;
    }
    if ((rc = GetModemICCID(answer)) != 0) goto fail;
    trim(answer);
    printf("ICCID: %s\n", answer);
    if ((rc = GetModemIMEI(answer)) != 0) goto fail;
    trim(answer);
    printf("IMEI: %s\n", answer);
    if ((rc = GetModemIMSI(answer)) != 0) goto fail;
    trim(answer);
    printf("IMSI: %s\n", answer);
    if ((rc = GetModemCSQ(&csq)) != 0) goto fail;
    printf("CSQ: %u\n", (unsigned)csq);
    return 0;

fail:
    fprintf(stderr, "modem_info: AT request failed with %d\n", rc);
    return 1;
}
