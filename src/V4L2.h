// Video capture device.
#pragma once

extern int video_fildes;
int v4l2_close(int fd);
