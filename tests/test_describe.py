"""Pipeline.describe(): the public, plain-value view of a pipeline's graph."""

import json

import pytest
from support import Counter, Doubler

from flowmesh import IOChain, Pipeline, Sink
from flowmesh.constants import Constants
from flowmesh.sources import EventSource


class Twice(IOChain):
    def build_nodes(self, config):
        return [Doubler(name=f"{config['name']}.a"), Doubler(name=f"{config['name']}.b")]


def _line(p):
    src, mid, sink = Counter(name="src", rate=50), Doubler(name="mid"), Sink(name="sink")
    p.connect(src, mid)
    p.connect(mid, sink)
    return {"src.out": "mid.in", "mid.out": "sink.in"}, {}


def _with_chain(p):
    src, chain, sink = Counter(name="src", rate=50), Twice(name="tw"), Sink(name="sink")
    p.connect(src, chain)
    p.connect(chain, sink)
    return {"src.out": "tw.in", "tw.out": "sink.in"}, {"tw": {"tw.a.out": "tw.b.in"}}


def _events_and_unfed(p):
    sink = Sink(name="sink", input_ports=[{"name": "in", "timing": "Async"}])
    p.connect(EventSource(name="ev"), sink)
    p.add_node(Sink(name="alone"))
    return {"ev.out": "sink.in"}, {}


@pytest.mark.parametrize("build", [_line, _with_chain, _events_and_unfed, lambda p: ({}, {})])
def test_describe_lists_elements_ports_and_connections(build):
    with Pipeline(directory="") as p:
        expected, inner = build(p)
        graph = p.describe()
        elements = p.get_elements()
        # Plain values only: the view survives JSON unchanged.
        assert json.loads(json.dumps(graph)) == graph
        assert graph["state"] == Constants.States.STOPPED
        assert [e["name"] for e in graph["elements"]] == [e.name for e in elements]
        ids = {}
        for record, element in zip(graph["elements"], elements):
            assert record["class"] == type(element).__name__
            assert record["kind"] == ("chain" if "nodes" in record else "node")
            assert record["condition"] == Constants.Conditions.HEALTHY
            assert (record["backlog"] is None) == (not record["inputs"])
            for side, direction in (("inputs", "input"), ("outputs", "output")):
                for port in record[side]:
                    assert port["direction"] == direction
                    ids[port["id"]] = f"{record['name']}.{port['name']}"
            if record["kind"] == "chain":
                nodes = element.get_nodes()
                assert [n["name"] for n in record["nodes"]] == [n.name for n in nodes]
                links = {c["source"]: c["target"] for c in record["links"]}
                assert links == inner[record["name"]]
                # The chain's ports are its boundary nodes' own.
                assert record["inputs"] == record["nodes"][0]["inputs"]
                assert record["outputs"] == record["nodes"][-1]["outputs"]
        named = {c["source"]: c["target"] for c in graph["connections"]}
        assert named == expected
        # The ids name the same ends as the names do, as a document records them.
        assert {ids[c["output"]]: ids[c["input"]] for c in graph["connections"]} == expected
        document = p.serialize()
        assert sorted(map(list, document["connections"])) == sorted(
            [c["output"], c["input"]] for c in graph["connections"]
        )


def test_describe_follows_the_run_and_leaves_out_outside_ports():
    with Pipeline(directory="") as p:
        _line(p)
        src = p.get_elements()[0]
        probe = Sink(name="probe")
        src.connect("out", probe, "in")
        p.start()
        try:
            graph = p.describe()
            assert graph["state"] == Constants.States.RUNNING
            assert all(e["state"] == Constants.States.RUNNING for e in graph["elements"])
            assert [c["target"] for c in graph["connections"]] == ["mid.in", "sink.in"]
            ports = graph["elements"][0]["outputs"]
            assert ports == [
                {
                    "name": "out",
                    "id": src.get_output_port("out").config["id"],
                    "type": "Any",
                    "timing": "Sync",
                    "direction": "output",
                }
            ]
        finally:
            p.stop()
            probe.stop()


class Nameless(Sink):
    moody = False

    @property
    def name(self):
        if self.moody:
            raise RuntimeError("no name today")
        return "nameless"


def test_describe_survives_a_name_that_raises():
    with Pipeline(directory="") as p:
        node = Nameless()
        p.add_node(node)
        node.moody = True
        (record,) = p.describe()["elements"]
        assert record["name"] is None and record["class"] == "Nameless"
