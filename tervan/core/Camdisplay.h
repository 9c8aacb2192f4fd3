#pragma once

// The worker's way to the panel. The worker keeps what there is to show in a
// TPanelView and calls ViewPending() on its own thread when the view goes from
// "shown" to "something to show"; the panel then fetches the view with
// TCamProcessor::TakeView() on its own thread. Until it does, no further call
// comes, however many entries the worker executes.
class TCamDisplay
{
public:
    virtual ~TCamDisplay() = default;
    virtual void ViewPending() = 0;
};
