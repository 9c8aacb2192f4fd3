#include "Camproc.h"

#include "camac.h"

#include <chrono>

TCamProcessor::TCamProcessor(TCamProgram &program, TCamDisplay &display)
    : m_program(program), m_display(display)
{
    if (ccinit() == 0) {
        m_status = cdata();
        m_initOk = true;
    }
    // Created suspended: the thread waits for the first Resume().
    m_thread = std::thread([this] { Execute(); });
}

TCamProcessor::~TCamProcessor()
{
    Terminate();
    Wait();
}

void TCamProcessor::SetButton(Button button, bool down)
{
    std::lock_guard lock(m_lock);
    (button == Button::OneTime ? m_oneTime : m_cycle) = down;
    m_changed.notify_all();
}

bool TCamProcessor::ButtonDown(Button button) const
{
    std::lock_guard lock(m_lock);
    return button == Button::OneTime ? m_oneTime : m_cycle;
}

void TCamProcessor::StopRun()
{
    std::unique_lock lock(m_lock);
    m_oneTime = false;
    m_cycle = false;
    m_changed.notify_all();
    // A worker that has ended (or never ran) leaves nothing to wait for.
    m_changed.wait(lock, [this] { return m_idle || m_terminated; });
}

bool TCamProcessor::Start(Button button, const TCamCommand *command)
{
    StopRun();
    bool started = false;
    {
        std::lock_guard lock(m_lock);
        if (command) {
            started = m_program.AppendTemporary(*command);
            m_temporary = started;
        } else {
            m_program.Rewind();
            started = m_program.count > 0;
        }
        m_commandMode = command != nullptr;
        (button == Button::OneTime ? m_oneTime : m_cycle) = started;
    }
    Resume();
    return started;
}

void TCamProcessor::SetCommandMode(bool command)
{
    std::lock_guard lock(m_lock);
    m_commandMode = command;
    if (!command)
        DropTemporary();
}

void TCamProcessor::DropTemporary()
{
    // The temporary entry is the last one (the panel stops a run before it
    // changes the program), so removing it is dropping the last slot.
    if (m_temporary && m_program.count > 0)
        --m_program.count;
    m_temporary = false;
}

TCamProgram TCamProcessor::OperatorProgram() const
{
    std::lock_guard lock(m_lock);
    TCamProgram copy = m_program;
    if (m_temporary && copy.count > 0)
        --copy.count;
    return copy;
}

void TCamProcessor::Resume()
{
    std::lock_guard lock(m_lock);
    m_wake = true;
    m_idle = false;
    m_changed.notify_all();
}

void TCamProcessor::Terminate()
{
    std::lock_guard lock(m_lock);
    m_terminated = true;
    m_changed.notify_all();
}

void TCamProcessor::Wait()
{
    if (m_thread.joinable())
        m_thread.join();
}

bool TCamProcessor::Idle() const
{
    std::lock_guard lock(m_lock);
    return m_idle;
}

TPanelView TCamProcessor::TakeView()
{
    std::lock_guard lock(m_viewLock);
    TPanelView view = m_view;
    m_view.rChanged = m_view.indicatorsChanged = m_view.lamChanged = false;
    m_view.oneTimeReleased = m_view.cycleReleased = false;
    m_view.entries = 0;
    m_viewPending = false;
    return view;
}

std::uint32_t TCamProcessor::LamPattern() const
{
    std::lock_guard lock(m_statusLock);
    return m_status ? m_status->lamPattern : 0;
}

std::int32_t TCamProcessor::LastRead() const
{
    std::lock_guard lock(m_statusLock);
    return m_status ? m_status->lastRead : 0;
}

std::int32_t TCamProcessor::LastWritten() const
{
    std::lock_guard lock(m_statusLock);
    return m_status ? m_status->lastWritten : 0;
}

void TCamProcessor::SetLastWritten(std::int32_t value)
{
    std::lock_guard lock(m_statusLock);
    if (m_status)
        m_status->lastWritten = value;
}

void TCamProcessor::Execute()
{
    std::unique_lock lock(m_lock);
    // Suspended until the first resume.
    m_changed.wait(lock, [this] { return m_wake || m_terminated; });
    m_wake = false;
    while (!m_terminated) {
        m_lamMask = 0;
        if (!Running() || m_program.count <= 0) {
            // Idle: the run has ended; its temporary entry goes.
            DropTemporary();
            m_program.runPosition = 0;
            if (Running()) {
                // Nothing left to run (the program was emptied under the run,
                // or command mode ended and took the run's only entry along).
                if (m_cycle)
                    ReleaseCycle();
                if (m_oneTime)
                    ReleaseOneTime();
                m_oneTime = m_cycle = false;
                Post();
            }
            m_idle = true;
            m_changed.notify_all();
            m_changed.wait(lock, [this] { return m_wake || m_terminated; });
            m_wake = false;
            continue;
        }
        // A command run executes its temporary entry, the last one, whatever
        // the panel did to the run position meanwhile (switching to program
        // mode rewinds it).
        if (m_commandMode && m_temporary)
            m_program.runPosition = m_program.count - 1;
        if (m_program.runPosition < 0 || m_program.runPosition >= m_program.count)
            m_program.runPosition = 0;
        const TCamCommand entry = m_program.entries[static_cast<std::size_t>(m_program.runPosition)];

        lock.unlock();
        ExecuteEntry(entry);
        const std::uint64_t executed = m_executed.fetch_add(1, std::memory_order_relaxed) + 1;
        RepaintLam();
        lock.lock();
        if (const std::uint64_t stopAfter = StopAfter.load(); stopAfter != 0 && executed >= stopAfter)
            m_oneTime = m_cycle = false;

        const bool last = m_program.runPosition >= m_program.count - 1;
        if (m_oneTime) {
            if (m_commandMode || last) {
                m_oneTime = false;
                ReleaseOneTime();
                Post();
            } else {
                Post();
                ++m_program.runPosition;
                Pause(lock, CommandDelay);
            }
        } else if (m_cycle) {
            Post();
            if (m_commandMode) {
                Pause(lock, CycleDelay);
            } else if (last) {
                m_program.runPosition = 0;
                Pause(lock, CycleDelay);
            } else {
                ++m_program.runPosition;
                Pause(lock, CommandDelay);
            }
        } else {
            Post();
        }
    }
    m_idle = true;
    m_changed.notify_all();
}

void TCamProcessor::Pause(std::unique_lock<std::mutex> &lock, std::int32_t ms)
{
    if (ms <= 0) {
        lock.unlock();
        std::this_thread::yield();
        lock.lock();
        return;
    }
    m_changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_terminated || !Running(); });
}

void TCamProcessor::ExecuteEntry(const TCamCommand &entry)
{
    if (!m_status)
        return; // no connection: nothing can be executed
    std::lock_guard lock(m_statusLock);
    int ext = 0;
    cdreg(&ext, entry.mode, entry.crate, entry.n, entry.a);

    if (entry.kind == TCamCommand::kindCamac && entry.addressed == 1) {
        int data = entry.data;
        char q = 0;
        if (cssa(entry.f, ext, &data, &q) != 0) {
            ShowError();
            return;
        }
        const int f = entry.f & 31;
        const CamacStatus &s = *m_status;
        if (f <= 7) {
            SetIndicators(s.x, s.q, 2, 2);
            m_status->lastRead = data;
            ShowR(data);
        } else if (f <= 15) {
            SetIndicators(s.x, s.q, 2, 2);
        } else if (f <= 23) {
            SetIndicators(s.x, s.q, s.l, s.i);
        } else if (f == 27) {
            SetIndicators(s.x, s.q, 2, 2);
        } else {
            SetIndicators(s.x, 2, 2, 2);
        }
    } else if (entry.kind == TCamCommand::kindCamac) {
        int result = 0;
        switch (entry.code) {
        case 1: result = cccc(ext); break;
        case 2: result = cccz(ext); break;
        case 4: result = ccci(ext, 1); break;
        case 8: result = ccci(ext, 0); break;
        default: return; // a code no panel writes: nothing to send
        }
        if (result != 0) {
            ShowError();
            return;
        }
        m_lamMask = 0xFF0000;
        SetIndicators(2, 2, m_status->l, m_status->i);
    } else if (entry.lamOperation == TCamCommand::lamRead) {
        char l = 0;
        if (ctgl(ext, &l) != 0) {
            ShowError();
            return;
        }
        m_lamMask = 0xFFFFFF;
        SetIndicators(2, 2, m_status->l, m_status->i);
    }
}

void TCamProcessor::ShowError()
{
    std::lock_guard lock(m_viewLock);
    m_view.rChanged = true;
    m_view.rError = true;
}

void TCamProcessor::ShowR(std::int32_t value)
{
    std::lock_guard lock(m_viewLock);
    m_view.rChanged = true;
    m_view.rError = false;
    m_view.r = value;
}

void TCamProcessor::SetIndicators(int x, int q, int l, int i)
{
    std::lock_guard lock(m_viewLock);
    m_view.indicatorsChanged = true;
    m_view.x = x;
    m_view.q = q;
    m_view.l = l;
    m_view.i = i;
}

void TCamProcessor::RepaintLam()
{
    std::uint32_t pattern = 0;
    {
        std::lock_guard lock(m_statusLock);
        pattern = m_status ? m_status->lamPattern : 0;
    }
    std::lock_guard lock(m_viewLock);
    m_view.lamChanged = true;
    m_view.lamMask = m_lamMask;
    m_view.lamPattern = pattern;
    ++m_view.entries;
}

void TCamProcessor::ReleaseOneTime()
{
    std::lock_guard lock(m_viewLock);
    m_view.oneTimeReleased = true;
}

void TCamProcessor::ReleaseCycle()
{
    std::lock_guard lock(m_viewLock);
    m_view.cycleReleased = true;
}

void TCamProcessor::Post()
{
    bool notify = false;
    {
        std::lock_guard lock(m_viewLock);
        notify = !m_viewPending;
        m_viewPending = true;
    }
    if (notify)
        m_display.ViewPending();
}
