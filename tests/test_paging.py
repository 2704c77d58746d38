"""The pager and its page record.

The page record and the constructor checks run in this process; everything
that reads rows runs the scenarios of paging_scenarios.py in a fresh
interpreter, once with the blocking SQLite connector and once awaited.
"""

import pytest

import paging_scenarios
from conftest import needs_assertions, run_scenario
from Quillon.Ext.Dict import DictPlus
from Quillon.Ext.Paging import Page, Paging

# ---------------------------------------------------------------------------
# Page
# ---------------------------------------------------------------------------


class TestPage:
    def test_entries_in_order_with_defaults(self):
        page = Page(2, 10)
        assert isinstance(page, DictPlus) and isinstance(page, dict)
        assert list(page.items()) == [("page", 2), ("pageSize", 10), ("content", []), ("total", 0)]

    def test_given_values_and_keywords(self):
        rows = [{"id": 1}]
        page = Page(pageSize=5, page=1, content=rows, total=7)
        assert page == {"page": 1, "pageSize": 5, "content": rows, "total": 7}
        assert page.content is rows

    def test_attribute_access_reads_and_writes_entries(self):
        page = Page(1, 10)
        page.total = 25
        page.totalPage = 3
        assert page["total"] == 25 and page["totalPage"] == 3
        assert page.page == 1 and page.pageSize == 10
        page.items = "an entry wins over a method"
        assert page.items == "an entry wins over a method"
        del page.totalPage, page["items"]
        assert "totalPage" not in page and callable(page.items)
        with pytest.raises(AttributeError, match="no attribute or entry 'totalPage'"):
            page.totalPage

    def test_every_page_gets_its_own_content_list(self):
        first, second = Page(1, 10), Page(1, 10)
        first.content.append("row")
        assert second.content == []

    def test_content_may_be_none_or_a_list_subclass(self):
        class Rows(list):
            pass

        assert Page(1, 1, None).content is None
        rows = Rows([1])
        assert Page(1, 1, rows).content is rows

    @pytest.mark.parametrize("content", [(), "abc", {"a": 1}])
    def test_content_must_be_a_list(self, content):
        with pytest.raises(TypeError) as info:
            Page(1, 10, content)
        assert str(info.value) == (
            f"Argument 'content' has incorrect type (expected list, got {type(content).__name__})"
        )

    @pytest.mark.parametrize("args", [(1.5, 10), (1, "10"), (1, 10, [], 2.0)])
    def test_numbers_must_be_ints(self, args):
        with pytest.raises(TypeError):
            Page(*args)

    @pytest.mark.parametrize("args", [(), (1,), (1, 2, [], 0, 9)])
    def test_argument_count(self, args):
        with pytest.raises(TypeError):
            Page(*args)

    def test_reinit_starts_empty(self):
        page = Page(1, 10)
        page["extra"] = 1
        page.__init__(3, 4)
        assert page == {"page": 3, "pageSize": 4, "content": [], "total": 0}


# ---------------------------------------------------------------------------
# Constructor checks (before the model is asked for an executor)
# ---------------------------------------------------------------------------


class NoModel:
    """Stands where a model would; the checks must fail before it is used."""

    @classmethod
    def getExecutor(cls):
        raise AssertionError("getExecutor reached")


class TestPagingConstructor:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"pageSize": 0}, "pageSize参数必须为大于零的整数"),
            ({"pageSize": -4}, "pageSize参数必须为大于零的整数"),
            ({"page": 0}, "page参数必须为大于零的整数"),
            ({"page": -1, "pageSize": 5}, "page参数必须为大于零的整数"),
            # The page size is tested first.
            ({"page": 0, "pageSize": 0}, "pageSize参数必须为大于零的整数"),
        ],
    )
    @needs_assertions
    def test_assertions(self, kwargs, message):
        with pytest.raises(AssertionError) as info:
            Paging(NoModel, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize("kwargs", [{"page": "1"}, {"pageSize": 2.5}, {"page": 2**40}])
    def test_numbers_must_be_32_bit_ints(self, kwargs):
        with pytest.raises((TypeError, OverflowError)):
            Paging(NoModel, **kwargs)

    def test_executor_must_be_an_executor(self):
        class Odd:
            @classmethod
            def getExecutor(cls):
                return object()

        with pytest.raises(TypeError) as info:
            Paging(Odd)
        assert str(info.value) == "Cannot convert object to BaseModelExecutor"

    def test_target_required(self):
        with pytest.raises(TypeError):
            Paging()
        with pytest.raises(TypeError):
            Paging(NoModel, 1, 10, False, "extra")


# ---------------------------------------------------------------------------
# Reads, blocking and awaited
# ---------------------------------------------------------------------------

KINDS = ["blocking", "async"]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["totals", "rows", "setpage", "deep", "relations", "forms", "nokey"])
def test_scenario(name, kind, tmp_path):
    run_scenario("paging_scenarios.py", name, kind, tmp_path)


def test_every_scenario_is_run():
    assert set(paging_scenarios.SCENARIOS) == {"totals", "rows", "setpage", "deep", "forms", "nokey", "relations"}
