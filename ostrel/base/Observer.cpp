#include "ostrel/base/Observer.hpp"

namespace ostrel {

namespace {

std::shared_ptr<Observer>& installed() {
  static std::shared_ptr<Observer> o = std::make_shared<Observer>();
  return o;
}

}  // namespace

Observer& observer() {
  return *installed();
}

void installObserver(std::shared_ptr<Observer> o) {
  installed() = o ? std::move(o) : std::make_shared<Observer>();
}

}  // namespace ostrel
