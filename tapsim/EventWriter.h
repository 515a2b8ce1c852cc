#pragma once

namespace tapsim {

// The seam through which every touch reaches the outside world: one input event on the virtual
// touch screen. The program writes through uinput; tests record.
class EventWriter {
  public:
    virtual ~EventWriter() = default;

    // Returns 0, or a negative error number when the event could not be written.
    virtual int writeEvent(unsigned int type, unsigned int code, int value) = 0;
};

}  // namespace tapsim
