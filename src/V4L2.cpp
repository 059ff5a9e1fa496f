// Stand-in until the capture device lands.
#include "V4L2.h"

int video_fildes = -1;
int v4l2_close(int) { return -1; }
