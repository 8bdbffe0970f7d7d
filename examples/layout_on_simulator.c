/*
 * Shows a four-camera layout on output 0, the way a recorder's display
 * task does, on the board or on the simulator:
 *
 *   DVRPLAT_FPGA_SIM=board.sim layout_on_simulator [CAM CAM CAM CAM]
 *   fpgasim --sim board.sim show        (on the PC: look at the result)
 *
 * fpga_open maps the board's register window (or, in a program linked
 * with the simulator library dvrplat_sim as this one is, with
 * DVRPLAT_FPGA_SIM set, the simulator file, created when missing);
 * fpga_4split_disp
 * routes the four cameras (0-15, default 0 1 2 3) to the quarters of the
 * screen. Exit status 0, or 1 when the window cannot be mapped or a camera
 * number is wrong.
 */
#include <stdio.h>
#include <stdlib.h>

#include "fpga.h"

int main(int argc, char **argv)
{
    unsigned char cameras[16] = {0, 1, 2, 3};
    int i;

    if (argc != 1 && argc != 5) {
        fprintf(stderr, "usage: layout_on_simulator [CAM CAM CAM CAM]\n");
        return 1;
    }
    for (i = 1; i < argc; ++i) {
        char *end;
        long cam = strtol(argv[i], &end, 10);
        if (*end != '\0' || cam < 0 || cam > 15) {
            fprintf(stderr, "camera numbers are 0 to 15: %s\n", argv[i]);
            return 1;
        }
        cameras[i - 1] = (unsigned char)cam;
    }
    if (fpga_open() != 0) {
        fprintf(stderr, "the register window cannot be mapped (set DVRPLAT_FPGA_SIM to use the simulator)\n");
        return 1;
    }
    /* No camera blanked: both masks 0. */
    if (fpga_4split_disp(0, cameras, 0, 0) < 0)
        return 1;
    printf("output 0: cameras %d %d %d %d in four quarters\n", cameras[0], cameras[1], cameras[2], cameras[3]);
    return 0;
}
