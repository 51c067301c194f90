// Pieces of the option machinery's own test fixtures that the unit tests and the
// command-line fuzzer share.
#pragma once
#include "runtime/AVUtilStubs.h"
#include "runtime/CmdUtils.h"

namespace OptionTestSupport {

// The two option groups of a conversion command line: outputs end at a plain argument,
// inputs follow "-i".
inline const CmdUtils::TOptionGroupDef CGroups[] = {
    {"output url", nullptr, CmdUtils::OPT_OUTPUT},
    {"input url", "i", CmdUtils::OPT_INPUT},
};

// Frees what a per-stream option list holds (specifiers, parsed stream specifiers,
// string values) and leaves it empty.
inline void FreeSpecList(CmdUtils::TSpecifierOptList& AList) {
  for (int i = 0; i < AList.nb_opt; i++) {
    AVUtilStubs::av_freep(&AList.opt[i].specifier);
    CmdUtils::stream_specifier_uninit(&AList.opt[i].stream_spec);
    if (AList.type_ == CmdUtils::OPT_TYPE_STRING) AVUtilStubs::av_freep(&AList.opt[i].u.str);
  }
  AVUtilStubs::av_freep(&AList.opt);
  AList = CmdUtils::TSpecifierOptList{};
}

}  // namespace OptionTestSupport
