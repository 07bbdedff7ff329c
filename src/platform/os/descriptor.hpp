// A file descriptor owned by one object: closed when the object goes or is given another.
#pragma once

namespace kestrune::platform {

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept;
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { reset(); }

    // -1 when it holds none.
    int get() const { return fd_; }
    void reset();

  private:
    int fd_ = -1;
};

}  // namespace kestrune::platform
