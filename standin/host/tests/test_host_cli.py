#!/usr/bin/env python3
"""MORLHost.exe against a fake plug-in (fake_plugin.cpp): its exit codes, its
lines, its time limit, its stop on request and that it always stops and
releases the repair object.

Usage: test_host_cli.py MORLHost.exe FAKE_Brevik.dll WORK_FOLDER [unittest options]
"""

import os
import shutil
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hostrun  # noqa: E402

HOST = FAKE = WORK = None


class HostAgainstFakePlugin(unittest.TestCase):
    def setUp(self):
        self.game = os.path.join(WORK, self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.game, ignore_errors=True)
        os.makedirs(os.path.join(self.game, "MORL"))
        shutil.copy(FAKE, os.path.join(self.game, "MORL", "Brevik.dll"))
        self.record = os.path.join(self.game, "record.txt")

    def run_fake(self, script, options=(), target=None):
        env = {"BREVIK_FAKE_SCRIPT": script,
               "MORLHOST_FAKE_RECORD": hostrun.windows_path(self.record)}
        return hostrun.run_host(HOST, target or self.game, options, env, timeout=120)

    def recorded(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return f.read().split()

    def test_success_prints_every_call_in_order_and_exits_0(self):
        run = self.run_fake("success", ["--answer", "6"])
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertEqual(run.names(), ["OnProgress", "OnProgress", "OnMessage", "OnSuccess"])
        first, second, message, _ = run.sink_calls()
        self.assertEqual((first.percent, first.text), (5, "正在修复损坏的数据文件"))
        self.assertEqual((second.percent, second.text),
                         (42, "正在更新数据文件... 更新速度：2 KB/s  更新进度：42.5%"))
        self.assertEqual(message.fields, {"flags": 0, "answer": 6, "caption": "异常错误",
                                          "text": "包文件被破坏，请重新启动客户端"})
        self.assertEqual(run.calls[-1].text, "result success")
        self.assertEqual(self.recorded(), ["stopped", "released"])
        self.assertIn("fake: a trace line", run.stdout)

    def test_the_plugins_trace_goes_to_its_own_file(self):
        trace = os.path.join(self.game, "trace.txt")
        run = self.run_fake("success", ["--trace", hostrun.windows_path(trace)])
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        self.assertNotIn("fake: a trace line", run.stdout)
        self.assertEqual(run.names(), ["OnProgress", "OnProgress", "OnMessage", "OnSuccess"])
        with open(trace, encoding="utf-8") as f:
            self.assertEqual(f.read().strip(), "fake: a trace line")

    def test_failure_exits_1_and_linger_shows_late_calls(self):
        run = self.run_fake("fail")
        self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
        self.assertEqual(run.names(), ["OnProgress", "OnFail"])
        self.assertEqual(run.sink_calls()[-1].text, "下载文件失败")

        run = self.run_fake("fail", ["--linger", "2000"])
        self.assertEqual(run.code, hostrun.EXIT_FAILURE, run.describe())
        self.assertEqual(run.names(), ["OnProgress", "OnFail", "OnProgress"])
        self.assertEqual(run.sink_calls()[-1].text, "too late")

    def test_no_verdict_times_out_with_2_and_still_stops(self):
        run = self.run_fake("silent", ["--timeout", "1"])
        self.assertEqual(run.code, hostrun.EXIT_TIMEOUT, run.describe())
        self.assertIn("no verdict within 1 s", run.stdout)
        self.assertEqual(self.recorded(), ["stopped", "released"])

    def test_stop_on_a_progress_text_stops_with_3(self):
        run = self.run_fake("ticking", ["--stop-on", "更新速度", "--timestamps"])
        self.assertEqual(run.code, hostrun.EXIT_STOPPED, run.describe())
        self.assertGreaterEqual(len(run.progress()), 1)
        self.assertTrue(all(c.ms is not None for c in run.calls))
        self.assertEqual(self.recorded(), ["stopped", "released"])

    def test_a_plugin_file_and_another_plugin_folder(self):
        run = self.run_fake("success", target=os.path.join(self.game, "MORL", "Brevik.dll"))
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())
        os.rename(os.path.join(self.game, "MORL"), os.path.join(self.game, "Plug"))
        run = self.run_fake("success", ["--plugin-dir", "Plug"])
        self.assertEqual(run.code, hostrun.EXIT_SUCCESS, run.describe())

    def test_what_keeps_a_repair_from_starting_exits_4(self):
        run = self.run_fake("nullrepair")
        self.assertEqual(run.code, hostrun.EXIT_CANNOT_RUN, run.describe())
        self.assertIn("CreateMORLRepair returned null", run.stdout)

        os.remove(os.path.join(self.game, "MORL", "Brevik.dll"))
        run = self.run_fake("success")
        self.assertEqual(run.code, hostrun.EXIT_CANNOT_RUN, run.describe())
        self.assertIn("cannot load the plug-in", run.stdout)

        run = self.run_fake("success", ["--timeout", "soon"])
        self.assertEqual(run.code, hostrun.EXIT_CANNOT_RUN, run.describe())
        self.assertIn("usage: MORLHost.exe", run.stderr)


if __name__ == "__main__":
    HOST, FAKE, WORK = sys.argv[1:4]
    os.makedirs(WORK, exist_ok=True)
    unittest.main(argv=[sys.argv[0]] + sys.argv[4:], verbosity=2)
