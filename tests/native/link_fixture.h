// A clean simulated bus and link record for every test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/commands.h"
#include "link/open_link.h"
#include "link/programmer_link.h"
#include "sim/sim_device.h"

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        closeProgrammer();
        simBusReset();
    }
    void TearDown() override { closeProgrammer(); }

    // Plugs `unit` in and opens it; the unit's record starts empty afterwards.
    void openReady(SimUnit& unit) {
        simBusPlugUnit(unit);
        ASSERT_EQ(openProgrammer(), kLinkOk);
        unit.received.clear();
    }

    static std::vector<std::uint8_t> requestHead(const SimUnit& unit, std::size_t index,
                                                 std::size_t bytes) {
        const auto& report = unit.received.at(index).bytes;
        return {report.begin(), report.begin() + static_cast<std::ptrdiff_t>(bytes)};
    }
};

// Names each row of a parameterised test after the row's `name`.
template <class Row>
std::string rowName(const ::testing::TestParamInfo<Row>& info) {
    return info.param.name;
}
