#include "app/qt/qt_run_threads.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace kestrel {

QtRunThreads::QtRunThreads(std::function<void()> shown) : shown_(std::move(shown)), receiver_(new QObject) {}

QtRunThreads::~QtRunThreads()
{
    // The run's owner has asked it to stop; what it still brings to this thread is
    // handled until its end has come back here too.
    while (thread_.joinable())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

void QtRunThreads::start(std::function<void()> work, std::function<void()> done)
{
    if (thread_.joinable())
        thread_.join();
    QObject* receiver = receiver_.get();
    thread_ = std::thread([this, receiver, work = std::move(work), done = std::move(done)]() mutable {
        work();
        QMetaObject::invokeMethod(
            receiver,
            [this, done = std::move(done)] {
                thread_.join();
                done();
                if (shown_)
                    shown_();
            },
            Qt::QueuedConnection);
    });
}

void QtRunThreads::onWindowThread(const std::function<void()>& show)
{
    QMetaObject::invokeMethod(
        receiver_.get(),
        [this, &show] {
            show();
            if (shown_)
                shown_();
        },
        Qt::BlockingQueuedConnection);
}

} // namespace kestrel
