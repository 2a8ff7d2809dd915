"""The one parser of nntrain's prediction lines and training logs."""

import math

import pytest

from conftest import EXAMPLES, run_program
from protnn import ProtnnError
from protnn.nnfiles import parse_log, parse_predictions, parse_real


@pytest.mark.parametrize("word,value", [
    ("0.1283D+00", 0.1283), ("0.1699E-01", 0.01699), ("-0.4331", -0.4331), ("1.500", 1.5),
    ("0.2620", 0.262), ("12.", 12.0), ("0.1234d-03", 1.234e-4), ("0.1234+100", 1.234e99),
    ("-0.5000-101", -5e-102), ("7", 7.0), ("  0.5000D+00", 0.5),
])
def test_numbers_in_the_programs_styles(word, value):
    assert parse_real(word, "f:1") == pytest.approx(value, rel=1e-12)


@pytest.mark.parametrize("word", ["abc", "0.12.3", "1E", "D+00", "", "0.1283D+00x", "****"])
def test_non_numbers_are_refused_with_file_and_line(word):
    with pytest.raises(ProtnnError, match=r"^f:7: expected a number"):
        parse_real(word, "f:7")


def test_nan_is_a_number():
    assert math.isnan(parse_real("NaN", "f:1"))


def test_prediction_lines_of_one_network_and_of_an_ensemble():
    one = parse_predictions("1hel   0.2620       0.4186    \n1hel  -0.4331      NaN\n", "p", 2)
    assert [(p.id, p.index, p.mean, p.sd) for p in one] == [("1hel", 0, 0.262, 0.0),
                                                           ("1hel", 1, -0.4331, 0.0)]
    assert math.isnan(one[1].target)
    ens = parse_predictions("a 0.1 0.1699E-01 0.2\r\nb 0.3 0.0 0.4\r\n", "p", 1)
    assert [(p.id, p.mean, p.sd, p.target) for p in ens] == [("a", 0.1, 0.01699, 0.2),
                                                            ("b", 0.3, 0.0, 0.4)]


@pytest.mark.parametrize("text,message", [
    ("a 0.1 0.2\nb 0.1 0.2\n", "p:2: protein a has 1 lines, expected 2"),
    ("a 0.1 0.2\na 0.1 0.2\nb 0.1 0.2\n", "p: last protein b has 1 lines, expected 2"),
    ("a 0.1 0.2\na 0.1 0.2 0.3\n", "p:2: expected 3 words like the first line, found 4"),
    ("", "p: no prediction lines"),
    ("a 0.1\n", "p:1: expected an identifier and 2 or 3 numbers"),
])
def test_bad_prediction_files(text, message):
    with pytest.raises(ProtnnError) as e:
        parse_predictions(text, "p", 2)
    assert str(e.value) == message


def test_log_of_a_real_training_run(tmp_path):
    # 20 proteins with their pairdist tables and shipped targets, trained by nntrain.
    ids = sorted(p.name for p in (EXAMPLES / "targets").iterdir())[:20]
    for i in ids:
        d = tmp_path / "db" / i
        d.mkdir(parents=True)
        (d / "pairdist.tab").write_bytes(
            run_program("pairdist", "-dp", EXAMPLES / "structures" / f"{i}.pdb"))
        (d / "ss.target").write_bytes((EXAMPLES / "targets" / i / "ss.target").read_bytes())
    (tmp_path / "l.db").write_text(f'"{tmp_path}/db"\npairdist.tab\nss.target\n' +
                                   "\n".join(ids) + "\n")
    run_program("nntrain", "-l", "l.db", "-m", "40", "-mi", "5", "-h1", "3", "-h2", "3",
                "-f", "0.2", "-r", "5", "-owf", "n.wei", cwd=tmp_path)
    log = parse_log((tmp_path / "n.wei.fort.15").read_text(), "n.wei.fort.15")
    assert (log.seed, log.nip, log.nop, log.ntotp, log.weights) == (5, 1323, 2, 20, "n.wei")
    assert "-r5" in log.options and log.notes == []
    assert list(log.epochs) == list(range(1, len(log.epochs) + 1))
    kept = log.best_epoch
    assert log.test[kept - 1] == pytest.approx(log.best_test, abs=5e-5)
    assert log.train[kept - 1] == pytest.approx(log.best_train, abs=5e-5)
    log.best_epoch = None         # as for a log without result line: the rule of training
    assert log.kept_epoch() == kept


def test_log_columns_that_touch_nan_and_asterisks():
    text = ("title -h for help\n Options: -r1\n# DB: nip,nop,ntotp =   5   1   20\n"
            "         1123456.1234        NaN\n         2***********     0.5000\n")
    log = parse_log(text, "x")
    assert log.train[0] == 123456.1234 and math.isnan(log.test[0])
    assert log.train[1] == math.inf and log.kept_epoch() == 1
    with pytest.raises(ProtnnError, match="not a training log"):
        parse_log("hello\nworld\n", "x")
