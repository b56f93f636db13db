"""latchwork-gate rules check and rules test, run on rules files as an operator writes them."""

from __future__ import annotations

import pytest

from gate_process import run_gate

RULES = """\
[groups]
finance = ["ada", "bob"]

[[rule]]
name   = "no mass mail"
effect = "mail:*"
action = "reject"
reason = "mass mail is not allowed from agents"
[rule.detail]
"/recipients" = { gt = 50 }

[[rule]]
name   = "small refunds"
effect = "refund:*"
client = "billing"
action = "release"
[rule.detail]
"/amount"   = { le = 100 }
"/currency" = { in = ["EUR", "USD"] }

[[rule]]
name      = "payments"
effect    = "pay:*"
action    = "hold"
approvers = ["finance"]
quorum    = 2
hold_timeout = "4h"
"""


def rules_file(tmp_path, text=RULES, mode=0o644):
    path = tmp_path / "rules.toml"
    path.write_text(text)
    path.chmod(mode)
    return path


def test_check_counts_a_good_file_and_checks_names_against_the_approvers(tmp_path):
    path = rules_file(tmp_path)
    done = run_gate("rules", "check", str(path))
    assert (done.returncode, done.stdout, done.stderr) == (0, "3 rules, 1 group\n", "")
    approvers = tmp_path / "approvers"
    approvers.write_text("ada:token-a\ncarol:token-c\nbob:token-b:viewer\n")
    approvers.chmod(0o600)
    done = run_gate("rules", "check", str(path), "--approvers", str(approvers))
    assert done.returncode == 2
    assert done.stderr == f'{path}:2: group "finance" names "bob", who is not an approver\n'


@pytest.mark.parametrize("text, mode, message", [
    (RULES.replace('"hold"', '"wait"'), 0o644,
     '{path}:24: rule "payments": unknown action "wait" (release, hold or reject)\n'),
    (RULES, 0o664, "rules {path}: mode 0664 lets others change the rules; chmod go-w it\n"),
    (RULES + '[[rule]]\nname = "late"\neffect = "pay:*"\naction = "release"\n', 0o644,
     '{path}:28: rule "late" is never reached: rule "payments" matches everything it does\n'),
])
def test_check_refuses_a_bad_file_with_exit_2(tmp_path, text, mode, message):
    path = rules_file(tmp_path, text, mode)
    done = run_gate("rules", "check", str(path))
    assert (done.returncode, done.stdout, done.stderr) == (2, "", message.format(path=path))


@pytest.mark.parametrize("arguments, said", [
    (["--effect", "pay:42", "--run", "r1"], 'rule "payments": hold, quorum 2 of finance'),
    (["--effect", "refund:7", "--run", "r1", "--client", "billing",
      "--detail", '{"amount": 99.5, "currency": "EUR"}'], 'rule "small refunds": release'),
    # No detail: the release rule's tests fail, so the refund is not let through.
    (["--effect", "refund:7", "--run", "r1", "--client", "billing", "--needs-approval"],
     "no rule matches: the client's needs_approval decides (held)"),
    # No detail: the reject rule's test holds, so leaving it out does not get past it.
    (["--effect", "mail:all", "--run", "r1"],
     'rule "no mass mail": reject (mass mail is not allowed from agents)'),
    (["--effect", "mail:one", "--run", "r1", "--detail", '{"recipients": 1}'],
     "no rule matches: the client's needs_approval decides (released)"),
])
def test_test_names_the_rule_a_submit_meets(tmp_path, arguments, said):
    done = run_gate("rules", "test", str(rules_file(tmp_path)), *arguments)
    assert (done.returncode, done.stdout, done.stderr) == (0, said + "\n", "")


@pytest.mark.parametrize("detail", ['{"amount": 1', '[1]'])
def test_test_refuses_a_detail_that_is_no_json_object(tmp_path, detail):
    done = run_gate("rules", "test", str(rules_file(tmp_path)), "--effect", "e", "--run", "r",
                    "--detail", detail)
    assert done.returncode == 2 and done.stderr.startswith("latchwork-gate: --detail: "), done.stderr
