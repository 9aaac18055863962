// The data information page (TabSheet2): shows the texts recording control and the monitor tick
// compute from the stream statistics. Only panels whose text changes are touched, so the page
// costs nothing between changes although it is refreshed 20 times a second.
#pragma once

#include "recording/data_info.h"

namespace tessaline {

class TFormQuillor;

class TDataInfoPage {
  public:
    explicit TDataInfoPage(TFormQuillor& form) : form_(form) {}
    void Apply(const DataInfoUpdate& update);

  private:
    TFormQuillor& form_;
};

}  // namespace tessaline
