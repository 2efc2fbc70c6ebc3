#pragma once

#include "core/Operator.h"

// An operator that hears nothing and answers No, for benchmarks, where
// recording every progress step would cost more than the work measured.
class SilentOperator : public Operator {
  public:
    bool askYesNo(const QString&, const QString&) override { return false; }
    void showMessage(const QString&, const QString&, Icon) override {}
    void setStatus(const QString&) override {}
    void setProgressRange(int, int) override {}
    void setProgress(int) override {}
    void showCount(long long) override {}
    void beginBusy() override {}
    void endBusy() override {}
};
