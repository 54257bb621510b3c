import pathlib

from helpers import run_python

README = pathlib.Path(__file__).parent.parent / "README.md"

# Runs the README's python blocks and checks its pycon blocks with doctest, in order, as one
# session; prints what failed and exits non-zero.
SESSION = r"""
import doctest, re, sys, textwrap
text = open(sys.argv[1], encoding="utf-8").read()
fences = re.findall(r"^( *)```(python|pycon)\n(.*?)^\1```", text, re.M | re.S)
runner, session = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS), {}
for _, language, body in fences:
    body = textwrap.dedent(body)
    if language == "python":
        exec(body, session)
    else:
        test = doctest.DocTestParser().get_doctest(body, session, "README", None, 0)
        runner.run(test, clear_globs=False)
        session = test.globs  # a doctest works on a copy
failed, tried = runner.summarize(verbose=False)
print(len(fences), "blocks,", tried, "examples")
sys.exit(1 if failed or not tried else 0)
"""


def test_every_snippet_of_the_readme_runs_as_written(redis_server, raw):
    run = run_python(
        SESSION.replace("sys.argv[1]", repr(str(README))),
        env={"REDIS_HOST": "127.0.0.1", "REDIS_PORT": str(redis_server.port)},
    )
    assert run.returncode == 0, run.stdout + run.stderr
