#include "components/FFBasePlayClock.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"

namespace FFBasePlay {

// The entry points this file calls, bound at run time.
using AVUtilStubs::av_d2q;
using AVUtilStubs::av_frame_unref;
using AVUtilStubs::av_gettime_relative;
using AVFormatStubs::av_guess_sample_aspect_ratio;
using AVUtilStubs::av_log;
using AVUtilStubs::av_mul_q;
using AVUtilStubs::av_rescale;

namespace {

double NowSeconds() { return static_cast<double>(av_gettime_relative()) / 1000000.0; }

// Under c->lock.
double clock_time_locked(TClock* c, bool check) {
  if (check && c->check_serial && c->queue_serial && *c->queue_serial != c->serial) return NAN;
  if (c->paused) return c->pts;
  const double time = NowSeconds();
  return c->pts_drift + time - (time - c->last_updated) * (1.0 - c->speed);
}

// Under c->lock.
void set_clock_at_locked(TClock* c, double pts, int serial, double time) {
  c->pts = pts;
  c->last_updated = time;
  c->pts_drift = c->pts - time;
  c->serial = serial;
}

}  // namespace

double get_clock(TClock* c) {
  std::lock_guard<std::mutex> g(c->lock);
  return clock_time_locked(c, true);
}

double get_clock_unchecked(TClock* c) {
  std::lock_guard<std::mutex> g(c->lock);
  return clock_time_locked(c, false);
}

int get_clock_serial(TClock* c) {
  std::lock_guard<std::mutex> g(c->lock);
  return c->serial;
}

void set_clock_at(TClock* c, double pts, int serial, double time) {
  std::lock_guard<std::mutex> g(c->lock);
  set_clock_at_locked(c, pts, serial, time);
}

void set_clock(TClock* c, double pts, int serial) { set_clock_at(c, pts, serial, NowSeconds()); }

void set_clock_speed(TClock* c, double speed) {
  std::lock_guard<std::mutex> g(c->lock);
  set_clock_at_locked(c, clock_time_locked(c, true), c->serial, NowSeconds());
  c->speed = speed;
}

double get_clock_speed(TClock* c) {
  std::lock_guard<std::mutex> g(c->lock);
  return c->speed;
}

void set_clock_paused(TClock* c, int paused) {
  std::lock_guard<std::mutex> g(c->lock);
  c->paused = paused;
}

void init_clock(TClock* c, const std::atomic<int>* queue_serial) {
  std::lock_guard<std::mutex> g(c->lock);
  c->speed = 1.0;
  c->paused = 0;
  c->check_serial = true;
  c->queue_serial = queue_serial;
  set_clock_at_locked(c, NAN, -1, NowSeconds());
}

void sync_clock_to_slave(TClock* c, TClock* slave) {
  const double clock = get_clock(c);
  double slave_clock;
  int slave_serial;
  {
    std::lock_guard<std::mutex> g(slave->lock);
    slave_clock = clock_time_locked(slave, true);
    slave_serial = slave->serial;
  }
  if (!std::isnan(slave_clock) &&
      (std::isnan(clock) || std::fabs(clock - slave_clock) > AV_NOSYNC_THRESHOLD))
    set_clock(c, slave_clock, slave_serial);
}

int get_master_sync_type(TVideoState* is) {
  std::lock_guard<std::mutex> g(is->master_lock);
  if (is->master_sync_valid) return is->master_sync_type;
  int type;
  switch (is->av_sync_type) {
    case AV_SYNC_VIDEO_MASTER:
      type = is->video_st ? AV_SYNC_VIDEO_MASTER
                          : (is->audio_st ? AV_SYNC_AUDIO_MASTER : AV_SYNC_EXTERNAL_CLOCK);
      break;
    case AV_SYNC_AUDIO_MASTER:
      type = is->audio_st ? AV_SYNC_AUDIO_MASTER
                          : (is->video_st ? AV_SYNC_VIDEO_MASTER : AV_SYNC_EXTERNAL_CLOCK);
      break;
    default:
      type = AV_SYNC_EXTERNAL_CLOCK;
      break;
  }
  is->master_sync_type = type;
  is->master_sync_valid = true;
  return type;
}

double get_master_clock(TVideoState* is) {
  switch (get_master_sync_type(is)) {
    case AV_SYNC_VIDEO_MASTER: return get_clock(&is->vidclk);
    case AV_SYNC_AUDIO_MASTER: return get_clock(&is->audclk);
    default: return get_clock(&is->extclk);
  }
}

void check_external_clock_speed(TVideoState* is) {
  const bool has_video = is->video_stream >= 0;
  const bool has_audio = is->audio_stream >= 0;
  const double speed = get_clock_speed(&is->extclk);
  if ((has_video && is->videoq.nb_packets <= EXTERNAL_CLOCK_MIN_FRAMES) ||
      (has_audio && is->audioq.nb_packets <= EXTERNAL_CLOCK_MIN_FRAMES)) {
    set_clock_speed(&is->extclk,
                    std::max(EXTERNAL_CLOCK_SPEED_MIN, speed - EXTERNAL_CLOCK_SPEED_STEP));
  } else if ((!has_video || is->videoq.nb_packets > EXTERNAL_CLOCK_MAX_FRAMES) &&
             (!has_audio || is->audioq.nb_packets > EXTERNAL_CLOCK_MAX_FRAMES)) {
    set_clock_speed(&is->extclk,
                    std::min(EXTERNAL_CLOCK_SPEED_MAX, speed + EXTERNAL_CLOCK_SPEED_STEP));
  } else if (speed != 1.0) {
    set_clock_speed(&is->extclk, speed + EXTERNAL_CLOCK_SPEED_STEP * (1.0 - speed) /
                                             std::fabs(1.0 - speed));
  }
}

double compute_target_delay(double delay, TVideoState* is) {
  const int master = get_master_sync_type(is);
  if (master == AV_SYNC_VIDEO_MASTER) return delay;

  // Video is a slave: follow the master by duplicating or skipping pictures.
  const double diff = get_clock(&is->vidclk) - get_master_clock(is);
  // Within the threshold a difference is not worth correcting; the threshold follows the
  // frame duration within its bounds.
  const double sync_threshold =
      std::max(AV_SYNC_THRESHOLD_MIN, std::min(AV_SYNC_THRESHOLD_MAX, delay));
  if (!std::isnan(diff) && std::fabs(diff) < is->max_frame_duration) {
    if (diff <= -sync_threshold) {
      delay = std::max(0.0, delay + diff);
    } else if (diff >= sync_threshold && delay > AV_SYNC_FRAMEDUP_THRESHOLD) {
      delay = delay + diff;
    } else if (diff >= sync_threshold) {
      // The external clock running at another speed is the playback speed: stretch the
      // picture by that speed instead of doubling it, which would jerk.
      const double ext_speed = get_clock_speed(&is->extclk);
      if (master == AV_SYNC_EXTERNAL_CLOCK && ext_speed != 1.0)
        delay = delay / ext_speed;
      else
        delay = 2 * delay;
    }
  }
  av_log(nullptr, AV_LOG_TRACE, "video: delay=%0.3f A-V=%f\n", delay, -diff);
  return delay;
}

double vp_duration(TVideoState* is, TFrame* vp, TFrame* nextvp) {
  if (vp->serial == nextvp->serial) {
    const double duration = nextvp->pts - vp->pts;
    if (std::isnan(duration) || duration <= 0 || duration > is->max_frame_duration)
      return vp->duration;
    return duration;
  }
  return 0.0;
}

void update_video_pts(TVideoState* is, double pts, int serial) {
  set_clock(&is->vidclk, pts, serial);
  sync_clock_to_slave(&is->extclk, &is->vidclk);
}

int synchronize_audio(TVideoState* is, int nb_samples) {
  int wanted_nb_samples = nb_samples;
  if (get_master_sync_type(is) == AV_SYNC_AUDIO_MASTER) return wanted_nb_samples;

  const double diff = get_clock(&is->audclk) - get_master_clock(is);
  if (!std::isnan(diff) && std::fabs(diff) < AV_NOSYNC_THRESHOLD) {
    is->audio_diff_cum = diff + is->audio_diff_avg_coef * is->audio_diff_cum;
    if (is->audio_diff_avg_count < AUDIO_DIFF_AVG_NB) {
      // Not enough measures for a correct estimate yet.
      is->audio_diff_avg_count++;
    } else {
      const double avg_diff = is->audio_diff_cum * (1.0 - is->audio_diff_avg_coef);
      if (std::fabs(avg_diff) >= is->audio_diff_threshold) {
        wanted_nb_samples = nb_samples + static_cast<int>(diff * is->audio_src.freq);
        const int min_nb_samples = nb_samples * (100 - SAMPLE_CORRECTION_PERCENT_MAX) / 100;
        const int max_nb_samples = nb_samples * (100 + SAMPLE_CORRECTION_PERCENT_MAX) / 100;
        wanted_nb_samples = std::clamp(wanted_nb_samples, min_nb_samples, max_nb_samples);
      }
      av_log(nullptr, AV_LOG_TRACE, "diff=%f adiff=%f sample_diff=%d apts=%0.3f %f\n", diff,
             avg_diff, wanted_nb_samples - nb_samples, is->audio_clock, is->audio_diff_threshold);
    }
  } else {
    // Too big a difference: probably initial PTS errors; start the average afresh.
    is->audio_diff_avg_count = 0;
    is->audio_diff_cum = 0;
  }
  return wanted_nb_samples;
}

int get_video_frame(TVideoState* is, AVFrame* frame, double* pts) {
  int got_picture = decoder_decode_frame(&is->viddec, frame, nullptr);
  if (got_picture < 0) return -1;
  double dpts = NAN;
  if (got_picture) {
    if (frame->pts != AV_NOPTS_VALUE) dpts = av_q2d(is->video_st->time_base) * frame->pts;
    frame->sample_aspect_ratio =
        AVFormatStubs::av_guess_sample_aspect_ratio(is->ic, is->video_st, frame);
    is->frame_width = frame->width;
    is->frame_height = frame->height;

    const int framedrop = is->owner ? is->owner->framedrop : -1;
    if (framedrop > 0 ||
        (framedrop && get_master_sync_type(is) != AV_SYNC_VIDEO_MASTER && !is->step)) {
      if (frame->pts != AV_NOPTS_VALUE) {
        const double diff = dpts - get_master_clock(is);
        if (!std::isnan(diff) && std::fabs(diff) < AV_NOSYNC_THRESHOLD &&
            diff - is->frame_last_filter_delay < 0 &&
            is->viddec.pkt_serial == get_clock_serial(&is->vidclk) && is->videoq.nb_packets) {
          is->frame_drops_early++;
          av_frame_unref(frame);
          got_picture = 0;
        }
      }
    }
  }
  if (pts) *pts = dpts;
  return got_picture;
}

void update_sample_display(TVideoState* is, const std::int16_t* samples, int samples_size) {
  std::lock_guard<std::mutex> g(is->sample_lock);
  int size = samples_size / static_cast<int>(sizeof(std::int16_t));
  while (size > 0) {
    int len = SAMPLE_ARRAY_SIZE - is->sample_array_index;
    if (len > size) len = size;
    std::memcpy(is->sample_array + is->sample_array_index, samples, len * sizeof(std::int16_t));
    samples += len;
    is->sample_array_index += len;
    if (is->sample_array_index >= SAMPLE_ARRAY_SIZE) is->sample_array_index = 0;
    size -= len;
  }
}

void calculate_display_rect(SDL_Rect* rect, int scr_xleft, int scr_ytop, int scr_width,
                            int scr_height, int pic_width, int pic_height, AVRational pic_sar,
                            double aspect) {
  AVRational aspect_ratio;
  if (aspect > 0) {
    aspect_ratio = av_d2q(aspect, 4096);
  } else {
    AVRational sar = pic_sar;
    if (av_cmp_q(sar, av_make_q(0, 1)) <= 0) sar = av_make_q(1, 1);
    aspect_ratio = av_mul_q(sar, av_make_q(pic_width, pic_height));
  }
  // A picture without a size has no shape of its own: fill the area as a square would.
  if (aspect_ratio.num <= 0 || aspect_ratio.den <= 0) aspect_ratio = av_make_q(1, 1);

  // The picture fills the height, unless it would then be wider than the area.
  std::int64_t height = scr_height;
  std::int64_t width = av_rescale(height, aspect_ratio.num, aspect_ratio.den) & ~1;
  if (width > scr_width) {
    width = scr_width;
    height = av_rescale(width, aspect_ratio.den, aspect_ratio.num) & ~1;
  }
  const std::int64_t x = (scr_width - width) / 2;
  const std::int64_t y = (scr_height - height) / 2;
  rect->x = static_cast<int>(scr_xleft + x);
  rect->y = static_cast<int>(scr_ytop + y);
  rect->w = static_cast<int>(std::max<std::int64_t>(width, 1));
  rect->h = static_cast<int>(std::max<std::int64_t>(height, 1));
}

}  // namespace FFBasePlay
