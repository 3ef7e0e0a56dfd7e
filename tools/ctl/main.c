/*
 * boardcam-ctl: who has the board's cameras.
 *
 *   boardcam-ctl status [--json] [--camera 0|1]
 *
 * For each camera, the program that owns it (its name, pid, size and rate)
 * and every program sharing it (name, pid, rate, frames held now, frames
 * missed), as libboardcam-mt's owners report them. Calls nothing in the
 * camera library: looking never disturbs a camera.
 */
#include <stdio.h>
#include <string.h>

#include "boardcam-mt.h"
#include "status_format.h"

#define PROGRAM "boardcam-ctl"

static void usage(FILE *out) {
    fprintf(out,
            "Usage: " PROGRAM " status [--json] [--camera 0|1]\n"
            "Show which program owns each camera, at what size and rate, and every program sharing it.\n"
            "  --json        one JSON object, {\"cameras\": [...]}, for scripts\n"
            "  --camera N    camera N only\n"
            "Exit status: 0, 1 when a camera's status could not be had, 2 for bad arguments.\n");
}

int main(int argc, char **argv) {
    int json = 0, first = 0, last = 1, i, status = 0, camera;
    boardcam_mt_camera_status cameras[2];
    int known[2] = {0, 0};
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        usage(stdout);
        return 0;
    }
    if (argc < 2 || strcmp(argv[1], "status") != 0) {
        fprintf(stderr, PROGRAM ": %s\n", argc < 2 ? "a command is needed: status" : "unknown command");
        usage(stderr);
        return 2;
    }
    for (i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            json = 1;
        } else if (strcmp(argv[i], "--camera") == 0 && i + 1 < argc &&
                   (strcmp(argv[i + 1], "0") == 0 || strcmp(argv[i + 1], "1") == 0)) {
            first = last = argv[++i][0] - '0';
        } else {
            fprintf(stderr, PROGRAM ": unknown argument '%s'\n", argv[i]);
            usage(stderr);
            return 2;
        }
    }
    for (camera = first; camera <= last; ++camera) {
        const int32_t result = boardcam_mt_status(camera, &cameras[camera]);
        if (result != 0) {
            const char *why = boardcam_mt_last_message();
            fprintf(stderr, PROGRAM ": camera %d: %s\n", camera,
                    *why != '\0' ? why : "its owner did not answer");
            status = 1;
            continue;
        }
        known[camera] = 1;
    }
    if (json) {
        char *text = camera_statuses_json(cameras, known, first, last);
        if (text != NULL) fputs(text, stdout);
        camera_statuses_free(text);
    } else {
        for (camera = first; camera <= last; ++camera)
            if (known[camera]) print_camera_status(stdout, &cameras[camera]);
    }
    return status;
}
