#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

class TWASAPIDevices;

/// A card (entry of the source's `cards`) or an endpoint (entry of a card's `inputs`).
class TWASAPIDevice {
public:
    TWASAPIDevice();
    ~TWASAPIDevice();

    QString Description;
    QString ID;
    int32_t DataFlow = 0;     ///< 0 output (render), 1 input (capture)
    int32_t State = 0;        ///< 1 active, 2 disabled, 4 not present, 8 unplugged
    int32_t SamplingRate = 0; ///< mix-format rate, 0 when it could not be read
    int32_t Channels = 0;
    int32_t BitsPerSample = 0;
    std::unique_ptr<TWASAPIDevices> inputs; ///< a card's endpoints; empty for an endpoint
};

/// An ordered, owning collection of devices.
class TWASAPIDevices {
public:
    /// Appends a new, zero-initialised item and returns it.
    TWASAPIDevice& Add();
    TWASAPIDevice& GetItem(int index) { return *m_items.at(static_cast<size_t>(index)); }
    const TWASAPIDevice& GetItem(int index) const {
        return *m_items.at(static_cast<size_t>(index));
    }
    int Count() const { return static_cast<int>(m_items.size()); }
    /// Moves the item at `from` to `to`, shifting the items in between.
    void Move(int from, int to);
    void Clear() { m_items.clear(); }

private:
    std::vector<std::unique_ptr<TWASAPIDevice>> m_items;
};
