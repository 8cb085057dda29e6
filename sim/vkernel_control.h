/* Control interface of the virtual V4L2 kernel, for tests and tools.
 * The library is loaded with LD_PRELOAD (or linked in); these functions are
 * found with dlsym(RTLD_DEFAULT, ...) or by linking against it. */
#ifndef LUMIVEX_VKERNEL_CONTROL_H
#define LUMIVEX_VKERNEL_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Resets the configuration to its defaults and applies "key=value,..."
 * settings (see sim/README.md); 0, or -1 naming the bad setting on stderr.
 * Open virtual descriptors keep working with the new settings. */
int lumivex_vk_configure(const char* settings);
/* Copies the log (one event a line) into out, NUL-terminated; returns its
 * full length. */
size_t lumivex_vk_log(char* out, size_t capacity);
void lumivex_vk_clear_log(void);
/* Virtual descriptors open and driver buffers mapped by the program now. */
int lumivex_vk_open_descriptors(void);
int lumivex_vk_live_mappings(void);
/* What the engine should compute from the current scene at a range (2 or 4):
 * 43,200 depths (metres) and amplitudes. 0, or -1 for an unknown scene. */
int lumivex_vk_scene_truth(const char* scene, int range, float* depth, float* amplitude);
/* The sample words of phase sub-frame `phase` (0 ... 3) as the engine decodes
 * them (12-bit words, before any layout). */
int lumivex_vk_scene_words(const char* scene, int range, int phase, uint16_t* words);

#ifdef __cplusplus
}
#endif

#endif
