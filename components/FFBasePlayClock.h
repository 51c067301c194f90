// The player's clocks, the choice of the master clock and A/V sync: how long a picture
// stays, how many audio samples a frame should yield, and how fast the external clock
// runs. Also the video frame fetch with early frame dropping, the visualisation ring and
// the display rectangle of a picture.
//
// Each clock locks itself (TClock::lock); no routine here holds two clock locks at once.
#pragma once
#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include <SDL.h>

#include "components/FFBasePlayState.h"

namespace FFBasePlay {

// The clock's time in seconds: NaN when it has never been set, or when check_serial is
// on and the packet queue it follows has moved to another serial (a seek); its pts while
// paused; else its time advanced at its speed since it was set.
double get_clock(TClock* c);
// The same with the serial check switched off, so a time exists across a seek.
double get_clock_unchecked(TClock* c);
int get_clock_serial(TClock* c);
void set_clock_at(TClock* c, double pts, int serial, double time);
void set_clock(TClock* c, double pts, int serial);
void set_clock_speed(TClock* c, double speed);
double get_clock_speed(TClock* c);
void set_clock_paused(TClock* c, int paused);
// Speed 1.0, running, serial check on, unset (NaN, serial -1). queue_serial nullptr: the
// clock follows its own serial.
void init_clock(TClock* c, const std::atomic<int>* queue_serial);
// Sets c to slave's time when slave has one and c has none or is more than
// AV_NOSYNC_THRESHOLD away.
void sync_clock_to_slave(TClock* c, TClock* slave);

// The master clock's type from the stream's sync setting and its open streams (computed
// once per stream): video master falls back to audio, then external; audio master falls
// back to video, then external.
int get_master_sync_type(TVideoState* is);
double get_master_clock(TVideoState* is);
// Tunes the external clock's speed to the fill of the open packet queues (real-time
// inputs with the external clock as master).
void check_external_clock_speed(TVideoState* is);

// How long to show the current picture: delay (its nominal duration) corrected towards
// the master clock, unless video is the master.
double compute_target_delay(double delay, TVideoState* is);
// The pts distance from vp to nextvp when it is a plausible duration, else vp's own
// duration; 0 across serials.
double vp_duration(TVideoState* is, TFrame* vp, TFrame* nextvp);
// Sets the video clock and syncs the external clock to it.
void update_video_pts(TVideoState* is, double pts, int serial);
// The number of samples a frame of nb_samples should yield so that audio moves towards
// the master clock (at most 10 % either way); nb_samples when audio is the master.
int synchronize_audio(TVideoState* is, int nb_samples);

// Decodes the next video frame into frame. 1 a frame; 0 nothing to show (end of stream,
// or the frame was dropped early because it is already late); -1 the queue was aborted.
// *pts receives the frame's time in seconds (NaN when it has none).
int get_video_frame(TVideoState* is, AVFrame* frame, double* pts = nullptr);

// Appends samples_size bytes of signed 16-bit samples to the visualisation ring.
void update_sample_display(TVideoState* is, const std::int16_t* samples, int samples_size);

// The rectangle a picture of pic_width x pic_height (sample aspect pic_sar) takes in the
// area at (scr_xleft, scr_ytop) of scr_width x scr_height: centred, as large as fits,
// width even, at least 1 x 1. aspect > 0 forces that display aspect ratio.
void calculate_display_rect(SDL_Rect* rect, int scr_xleft, int scr_ytop, int scr_width,
                            int scr_height, int pic_width, int pic_height, AVRational pic_sar,
                            double aspect);

}  // namespace FFBasePlay
