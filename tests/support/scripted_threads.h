// The window's runs in turn on the calling thread, with a hook for what the user does
// while an image is being treated: it runs before each image is shown.
#pragma once

#include "app/run_threads.h"

#include <functional>

namespace kestrel::testing {

class ScriptedThreads : public InlineRunThreads {
public:
    std::function<void()> beforeImage;
    void onWindowThread(const std::function<void()>& show) override
    {
        if (beforeImage)
            beforeImage();
        show();
    }
};

} // namespace kestrel::testing
