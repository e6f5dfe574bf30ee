import unittest


class ThingsTestCase(unittest.TestCase):
    def test_add(self):
        assert 1 + 1 == 2
        if True:
            assert f([1,
                      2]) == g(x)

    def helper(self):
        assert a == b


class Helper:
    def check(self):
        assert a == b


def run():
    try:
        unittest.main()
    except:
        pass
    try:
        pass
    except (ValueError, TypeError) as e:
        raise
    try:
        pass
    except os.error:
        raise
    assert x == y


def nones(x, y):
    if x == None or y != None:
        return None == x
    return f(x) != None and None == None
