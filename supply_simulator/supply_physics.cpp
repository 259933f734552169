/*
 * supply_physics.cpp - the output's slew, the load, the temperature, the watchdog, and the
 * status and fault bytes that follow from them.
 */
#include "supply_internal.h"

#include <cmath>

static const double DEGREES_PER_WATT = 0.4;
static const double THERMAL_TAU_S = 60.0;

static double TargetVolts(const SupplyModel *m) {
    if (!m->enabled)
        return 0.0;
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    return m->setpointCode * static_cast<double>(vrange) / SETPOINT_FULL_SCALE;
}

void AdvancePhysics(SupplyModel *m, int64_t toUs) {
    const double target = TargetVolts(m);
    if (m->config.slewVPerS <= 0)
        m->volts = target; // follows at once, even within the same microsecond
    if (m->physicsUs < 0 || toUs <= m->physicsUs) {
        if (m->physicsUs < 0)
            m->physicsUs = toUs;
        return;
    }
    const double dt = (toUs - m->physicsUs) / 1e6;
    const double step = m->config.slewVPerS * dt;
    if (m->config.slewVPerS <= 0 || fabs(target - m->volts) <= step)
        m->volts = target;
    else
        m->volts += target > m->volts ? step : -step;
    const double watts = m->config.loadOhms > 0 ? m->volts * m->volts / m->config.loadOhms : 0.0;
    const double settled = ROOM_TEMPERATURE_C + DEGREES_PER_WATT * watts;
    m->temperature += (settled - m->temperature) * (1.0 - exp(-dt / THERMAL_TAU_S));
    m->physicsUs = toUs;
}

static void TripWatchdog(SupplyModel *m, int64_t atUs) {
    m->enabled = false;
    m->faultLatched |= SUPPLY_FAULT_WATCHDOG;
    m->watchdogTripped = true;
    AdvancePhysics(m, atUs);
    PushLog(m, atUs, "! watchdog expired after %d ms without a command: output off, fault 0x%02X",
            m->watchdogCount * WATCHDOG_TICK_MS, SUPPLY_FAULT_WATCHDOG);
}

void SupplyAdvance(SupplyModel *m, int64_t nowUs) {
    if (m->watchdogCount > 0 && !m->watchdogTripped) {
        const int64_t due =
            m->lastCommandUs + static_cast<int64_t>(m->watchdogCount) * WATCHDOG_TICK_MS * 1000;
        if (due <= nowUs) {
            AdvancePhysics(m, due);
            TripWatchdog(m, due);
        }
    }
    AdvancePhysics(m, nowUs);
}

double SupplyVolts(const SupplyModel *m) {
    return m->volts;
}

double SupplyMicroamps(const SupplyModel *m) {
    return m->config.loadOhms > 0 ? m->volts / m->config.loadOhms * 1e6 : 0.0;
}

double SupplyTemperature(const SupplyModel *m) {
    return m->temperature;
}

int SupplyFaultByte(const SupplyModel *m) {
    return (m->faultLatched | m->config.forceFault) & 0xFF;
}

int SupplyStatus(const SupplyModel *m) {
    int vrange, irange;
    SupplyRanges(m, &vrange, &irange);
    int status = 0;
    if (m->limitVoltage < LIMIT_FULL_SCALE &&
        m->volts > m->limitVoltage / static_cast<double>(LIMIT_FULL_SCALE) * vrange)
        status |= SUPPLY_STATUS_OVER_VOLTAGE;
    if (m->limitCurrent < LIMIT_FULL_SCALE &&
        SupplyMicroamps(m) > m->limitCurrent / static_cast<double>(LIMIT_FULL_SCALE) * irange)
        status |= SUPPLY_STATUS_OVER_CURRENT;
    if (m->enabled)
        status |= SUPPLY_STATUS_ENABLED;
    if (SupplyFaultByte(m) != 0)
        status |= SUPPLY_STATUS_FAULT;
    if (m->resetFlag)
        status |= SUPPLY_STATUS_RESET;
    return (status | m->config.forceStatus) & 0xFF;
}
