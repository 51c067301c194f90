// convert_example: converts a media file to MPEG-4 with one conversion task that runs on
// a thread of its own, and prints its progress. Without an input it converts a second
// of a generated test picture with a tone.
//
//   convert_example [input [output]]        (output: converted.mp4 in the current folder)
//
// The exit status is 0 when the conversion succeeded, 1 when it failed, 2 when the FFmpeg
// libraries could not be loaded from the LibAV folder beside the program.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "engine/FFmpeg.h"
#include "platform/Dispatcher.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace {

// README: handlers
// The progress report, every half second on the task's job thread.
void OnProgress(void*, Platform::TObject*, int, int AFrameNumber, int, float, float,
                const std::int64_t& ATotalSize, const std::int64_t& ACurrentDuration,
                const std::int64_t&) {
  std::printf("frame %d, %lld bytes, %.2f s\n", AFrameNumber, static_cast<long long>(ATotalSize),
              ACurrentDuration / 1e6);
}

// The end of the job, on the job thread: handed over to the main thread, which waits for it.
void OnTerminate(void* AEnded, void*) {
  Platform::PostToMainThread([AEnded] { *static_cast<bool*>(AEnded) = true; });
}
// README end

}  // namespace

int main(int argc, char** argv) {
  // README: task
  FFLoad::FFLoader->SetLibraryPath(MyUtils::ExePath() + "LibAV");
  if (!FFLoad::FFLoader->Load(FFLoad::CEncoderLibraries)) {
    std::fprintf(stderr, "%s\n", FFLoad::FFLoader->GetLastErrMsg().c_str());
    return 2;
  }

  // An ffmpeg-style command line; names in double quotes.
  const std::string input = argc > 1 ? "-i \"" + std::string(argv[1]) + "\""
                                     : "-f lavfi -i testsrc2=duration=1:size=320x240:rate=25 "
                                       "-f lavfi -i sine=duration=1";
  const std::string output = argc > 2 ? argv[2] : "converted.mp4";
  auto task = std::make_unique<FFmpeg::TFFmpeg>();
  if (task->ParseOptions("-y " + input + " -c:v mpeg4 -c:a aac \"" + output + "\"") < 0) {
    std::fprintf(stderr, "%s\n", task->LastErrMsg().c_str());
    return 1;
  }

  bool ended = false;
  task->FOnProgress = FFmpeg::TTaskProgressEvent::FromFunction(&OnProgress, nullptr);
  task->FOnTerminate = Platform::TNotifyEvent::FromFunction(&OnTerminate, &ended);
  task->Start(true);
  // The main thread serves the calls the task's threads hand to it until the end arrives.
  while (!ended)
    if (!Platform::ProcessMainThreadQueue()) Platform::WaitForMainThreadWork(-1);

  const bool failed = task->HasError();
  if (failed) std::fprintf(stderr, "%s\n", task->ErrorText().c_str());
  task.reset();  // frees the task once its threads are done
  // README end
  if (!failed) std::printf("%s written\n", output.c_str());
  return failed ? 1 : 0;
}
