/* qorb_hub.h -- which score hub a door directory belongs to, and the one way
 * to talk to it. The choice lives in the directory's grimby.json as two flat
 * strings: "hub", the hub's base URL (https://host or https://host:port;
 * absent or empty: the build's own hub), and "hub_ca", a PEM file of the CA
 * trusted for the hub connection only (relative to the door directory or
 * absolute; absent: the system's trust store). Enrollment, the chat worker
 * and the workers all read it here. */
#ifndef QORB_HUB_H
#define QORB_HUB_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct qorb_hub_setting {
    char url[512];      /* https://host[:port], no path, no trailing slash */
    char ca_file[1024]; /* resolved path, or empty for the system store */
} qorb_hub_setting;

/* The build's hub, "https://" + GRIMBY_HUB_HOST. */
const char *qorb_hub_default_url(void);

/* Reads door_dir/grimby.json (null or "" means the working directory): 1
 * with the defaults filled where a key is absent or empty (also when there
 * is no grimby.json); 0 with one sentence in why for a file or value it
 * refuses, out then holding the defaults. */
int qorb_hub_setting_load(const char *door_dir, qorb_hub_setting *out, char *why, size_t n);

/* Checks a hub address as a sysop typed it and writes it in its stored
 * form (no trailing slash) to url (512 bytes): 1, or 0 with a sentence. */
int qorb_hub_url_check(const char *text, char *url, char *why, size_t n);

/* Sets "hub" and "hub_ca" in door_dir/grimby.json as given (an empty value
 * removes the key), every other member carried over byte for byte; the
 * file is replaced in one step. 1, or 0 with a sentence and the file as
 * it was. */
int qorb_hub_setting_save(const char *door_dir, const char *url, const char *ca_file, char *why,
                          size_t n);

/* POSTs body to the hub's URL + path ("/v1/..."), trusting the setting's CA
 * for this request only; the contract of pn_request otherwise. */
int qorb_hub_post(const qorb_hub_setting *hub, const char *path, const char *body,
                  const char *signature, char *reply, size_t cap, long *status);

/* Why the calling thread's last request failed, for messages and logs. */
enum {
    PN_OK = 0,
    PN_REFUSED,      /* bad URL, body or signature: nothing was sent */
    PN_UNREACHABLE,  /* no address, no connection: nothing was sent */
    PN_UNTRUSTED,    /* the hub's certificate is not trusted for its name */
    PN_TLS,          /* any other failed handshake */
    PN_NO_REPLY,     /* sent (or maybe sent) but no complete reply came */
    PN_TOO_LARGE     /* the reply did not fit */
};
/* The kind and, when detail is given, a short text from the transport
 * (e.g. its own error message) for the calling thread's last request. */
int pn_failure(char *detail, size_t n);

#ifdef __cplusplus
}
#endif

#endif
