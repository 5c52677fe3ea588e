#include "devices.h"

#include <stdexcept>

TWASAPIDevice::TWASAPIDevice() : inputs(std::make_unique<TWASAPIDevices>()) {}

TWASAPIDevice::~TWASAPIDevice() = default;

TWASAPIDevice& TWASAPIDevices::Add() {
    m_items.push_back(std::make_unique<TWASAPIDevice>());
    return *m_items.back();
}

void TWASAPIDevices::Move(int from, int to) {
    if (from < 0 || from >= Count() || to < 0 || to >= Count())
        throw std::out_of_range("device index out of range");
    if (from == to)
        return;
    std::unique_ptr<TWASAPIDevice> item = std::move(m_items[static_cast<size_t>(from)]);
    m_items.erase(m_items.begin() + from);
    m_items.insert(m_items.begin() + to, std::move(item));
}
