// SPDX-License-Identifier: MIT
/* A camera that makes itself discoverable: it announces its name and URLs
 * and answers every probe until it is stopped with Ctrl-C or SIGTERM.
 *
 * The whole integration is obx_discovery_new() at start-up and
 * obx_discovery_free() at shut-down; see make_discoverable() below. */
#include <obx_discovery/discovery.h>

#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

static const char usage[] =
    "Usage: %s [OPTION]...\n"
    "Announce a camera on the local network and answer discovery probes\n"
    "until stopped.\n"
    "\n"
    "  -n, --name NAME    device name shown to users\n"
    "  -r, --rtsp URL     video stream URL, e.g. rtsp:///live\n"
    "  -w, --http URL     web interface URL, e.g. http://:80/\n"
    "      --no-kind      announce no kind, as a device of another make would\n"
    "  -v, --verbose      trace every datagram sent and received\n"
    "  -h, --help         show this help and exit\n"
    "\n"
    "A URL may leave its host empty: whoever discovers the camera fills in\n"
    "the address its announcement came from.\n";

static ObxDiscovery *make_discoverable(const char *name, const char *rtsp_url,
                                       const char *http_url, ObxPeerType type)
{
    ObxPeerDetails details = {type, name, rtsp_url, http_url};
    /* No callback: a camera answers probes but looks for nobody. */
    return obx_discovery_new(details, NULL, NULL);
}

/* Blocks until SIGINT or SIGTERM. The signals are blocked first, so that the
 * instance's threads inherit the mask and the signal comes here. */
static sigset_t block_stop_signals(void)
{
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop, NULL);
    return stop;
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"name", required_argument, NULL, 'n'}, {"rtsp", required_argument, NULL, 'r'},
        {"http", required_argument, NULL, 'w'}, {"no-kind", no_argument, NULL, 'k'},
        {"verbose", no_argument, NULL, 'v'},    {"help", no_argument, NULL, 'h'},
        {NULL, 0, NULL, 0},
    };
    const char *name = NULL, *rtsp_url = NULL, *http_url = NULL;
    ObxPeerType type = OBX_PEER_TYPE_VIDEO_TRANSMITTER;
    bool verbose = false;
    int option;
    while ((option = getopt_long(argc, argv, "n:r:w:vh", options, NULL)) != -1) {
        switch (option) {
        case 'n': name = optarg; break;
        case 'r': rtsp_url = optarg; break;
        case 'w': http_url = optarg; break;
        case 'k': type = OBX_PEER_TYPE_UNKNOWN; break;
        case 'v': verbose = true; break;
        case 'h': printf(usage, argv[0]); return EXIT_SUCCESS;
        default: fprintf(stderr, usage, argv[0]); return EXIT_FAILURE;
        }
    }

    sigset_t stop = block_stop_signals();
    ObxDiscovery *discovery = make_discoverable(name, rtsp_url, http_url, type);
    obx_discovery_set_verbose(discovery, verbose);

    int signal_number;
    sigwait(&stop, &signal_number);
    obx_discovery_free(discovery);
    return EXIT_SUCCESS;
}
