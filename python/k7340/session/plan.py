"""Running a plan: its supplies opened as one Group of sessions, its steps run in order, its log
written throughout, a flight record of every supply on a trip.

    plan = k7340.Plan.load("gun.toml")
    print("\\n".join(plan.timeline_text()))     # what --check prints; nothing opened
    plan.run()                                 # K7340TripError / K7340OutageError / K7340Error

A plan's file is read and checked by k7340.lab.plan (every error at once, before any port is
opened). Running it opens every member (a missing or busy port, or a supply whose range is below
the plan's max for it, ends the run before any output goes on anywhere), refuses a member that
reports a trip bit or whose output is already on, then runs the steps: a lockstep ramp, a hold,
conditioning one member while the others hold. A trip of any member, an outage, or a measured
difference beyond its limit is the group's trip action (the plan's on_trip). Every way out
(the end, an error, Ctrl-C and the other stop signals) ends every member at zero in the reverse
of the switching-on order.
"""

import os

from ..binding.errors import K7340TripError
from ..lab import plan as lab_plan
from ..lab import timeline
from ..lab.recorder import FlightRecorder
from ..lab.samplelog import GroupLog
from .group import Group


class Plan:
    """``k7340.Plan.load(path)``; ``check()`` gives the timeline (nothing opened);
    ``run(say=print, stop=None, sleep=None, force=False, append=False)`` runs it: True when
    every step ran, False when a stop ended it (at zero), else the group's K7340TripError
    (``gave_up`` after a conditioning step's last trip), a K7340OutageError or K7340Error."""

    def __init__(self, plan):
        self.plan = plan

    @classmethod
    def load(cls, path):
        """Reads and checks the file (lab.plan.PlanError lists every error)."""
        return cls(lab_plan.load(path))

    def check(self):
        return lab_plan.check(self.plan)

    def timeline_text(self):
        return list(timeline.text(self.check()))

    def run(self, say=print, stop=None, sleep=None, force=False, append=False):
        plan = self.plan
        log = None
        if plan.log_csv:
            log = GroupLog(plan.log_csv, plan.log_interval, plan.names, force, append)
            log.check()
        folder = os.path.dirname(plan.log_csv) if plan.log_csv else os.getcwd()
        stem = os.path.splitext(os.path.basename(plan.path))[0]
        group = Group(
            {m.name: m.port for m in plan.members},
            differences=plan.differences,
            on_order=plan.on_order,
            on_trip=plan.on_trip,
            rate=plan.rate,
            rates={m.name: m.rate for m in plan.members},
            watchdog_ms=plan.watchdog_ms,
            max_volts={m.name: m.max for m in plan.members},
            limits={m.name: m.limits for m in plan.members},
            say=say,
            stop=stop,
            sleep=sleep,
            recorders={n: FlightRecorder(folder, name="%s-%s" % (stem, n)) for n in plan.names},
            on_sample=None if log is None else log.add,
        )
        group.open({m.name: m.max for m in plan.members if m.max is not None})
        try:
            if log is not None:
                log.open()
            return self._steps(group, say, log)
        finally:
            try:
                group.close()
            finally:
                if log is not None:
                    log.close()

    def _steps(self, group, say, log):
        for step in self.plan.steps:
            say("step %d: %s" % (step.index, step.kind))
            if log is not None:
                log.add(group.readings, "step %d: %s" % (step.index, step.kind))
            try:
                if not self._step(group, step):
                    say("stopped in step %d" % step.index)
                    return False
            except K7340TripError as exc:
                if log is not None:
                    log.add(group.readings, "trip: %s" % exc.text)
                raise
        return True

    @staticmethod
    def _step(group, step):
        if step.kind == "ramp":
            return group.ramp_to(dict(step.targets), rate=step.rate)
        if step.kind == "hold":
            return group.hold(step.seconds)
        c = step.condition
        result = group.condition(
            c.supply,
            c.to,
            c.rate,
            c.dwell,
            c.backoff,
            c.max_trips,
            backoff_rate=c.backoff_rate,
            clear_within=c.clear_within,
        )
        return result.reached
