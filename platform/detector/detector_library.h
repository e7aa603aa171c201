/* The C interface of a detector library (--detector lib:PATH). A lab's detector is
 * built as a shared library exporting these five functions; Varnix loads it at run
 * time. See docs/detector-library.md for what each must do.
 *
 * Threads: vxd_open, vxd_channels, vxd_channel_name and vxd_close are called on one
 * thread; vxd_read on the reader's thread, one call at a time. */
#ifndef VARNIX_DETECTOR_LIBRARY_H
#define VARNIX_DETECTOR_LIBRARY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VXD_MAX_CHANNELS 64

/* The point a reading is asked at. */
struct vxd_point {
  long long point;  /* 1 for the first point of the scan */
  int index[3];     /* ix, iy, iz */
  double target[3]; /* mm */
  double read[3];   /* mm, where the stages stood as the point's dwell began */
};

/* Opens the detector; its handle, or NULL with a message in error (error_size bytes,
 * NUL-terminated). */
void* vxd_open(char* error, size_t error_size);
/* The number of channels, 1 to VXD_MAX_CHANNELS. */
int vxd_channels(void* handle);
/* The name of channel i (0-based): letters, digits and '_', valid until vxd_close. */
const char* vxd_channel_name(void* handle, int i);
/* Reads at p into values[0..count-1]; 0 on success, else nonzero with a message in
 * error. Must return promptly: a reading holds the next one up. */
int vxd_read(void* handle, const struct vxd_point* p, double* values, int count, char* error, size_t error_size);
void vxd_close(void* handle);

#ifdef __cplusplus
}
#endif

#endif
