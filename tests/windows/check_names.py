"""The names of the checks, read from the code: what --list prints."""
import ast
import re


# A %-format field: a mapping key, flags, width, precision, conversion.
FORMAT_FIELD = re.compile(r"%(\([^)]*\))?[-#0 +]*(\*|\d+)?(\.(\*|\d+))?[diouxXeEfFgGcrsa%]")


def check_names(sources):
    """The names that check() and skip() are given anywhere in sources (a
    module's text each), read from the code, not run: a part that is only
    known on the machine is shown as <its expression>. A name held in a
    variable is followed to what is assigned to it in the same function, to
    the element of a tuple that the called function returns, or, for a
    function passed in, to the lambda that a caller passes."""
    trees = [ast.parse(text) for text in sources]
    functions = {}
    enclosing = {}

    def index(node, function):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                functions.setdefault(child.name, child)
                index(child, child)
            else:
                enclosing[child] = function
                index(child, function)
    for tree in trees:
        index(tree, None)

    def fields(template, arguments):
        parts = iter(arguments)

        def field(match):
            if match.group(0) == "%%":
                return "%"
            part = next(parts, None)
            return "<%s>" % (ast.unparse(part) if part is not None else "...")
        return FORMAT_FIELD.sub(field, template)

    def shown(node, function, seen=()):
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            return [node.value]
        if isinstance(node, ast.JoinedStr):
            return ["".join(part.value if isinstance(part, ast.Constant) else "<%s>" % ast.unparse(part.value)
                            for part in node.values)]
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
            return [a + b for a in shown(node.left, function, seen) for b in shown(node.right, function, seen)]
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Mod):
            arguments = node.right.elts if isinstance(node.right, ast.Tuple) else [node.right]
            return [fields(template, arguments) for template in shown(node.left, function, seen)]
        if isinstance(node, ast.IfExp):
            return shown(node.body, function, seen) + shown(node.orelse, function, seen)
        if isinstance(node, ast.Name) and function is not None and (function, node.id) not in seen:
            found = assigned(node.id, function, seen + ((function, node.id),))
            if found:
                return found
        if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and function is not None
                and node.func.id in [argument.arg for argument in function.args.args]):
            found = passed_in(function, [argument.arg for argument in function.args.args].index(node.func.id), seen)
            if found:
                return found
        return ["<%s>" % ast.unparse(node)]

    def assigned(name, function, seen):
        found = []
        for node in ast.walk(function):
            if not isinstance(node, ast.Assign) or enclosing.get(node) is not function:
                continue
            for target in node.targets:
                if isinstance(target, ast.Name) and target.id == name:
                    found += shown(node.value, function, seen)
                elif isinstance(target, ast.Tuple) and name in [getattr(item, "id", None) for item in target.elts]:
                    at = [getattr(item, "id", None) for item in target.elts].index(name)
                    if isinstance(node.value, ast.Tuple):
                        found += shown(node.value.elts[at], function, seen)
                    elif (isinstance(node.value, ast.Call) and isinstance(node.value.func, ast.Name)
                          and node.value.func.id in functions):
                        called = functions[node.value.func.id]
                        for returned in ast.walk(called):
                            if isinstance(returned, ast.Return) and isinstance(returned.value, ast.Tuple):
                                found += shown(returned.value.elts[at], called, seen)
        return found

    def passed_in(function, at, seen):
        found = []
        for tree in trees:
            for node in ast.walk(tree):
                if (isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id == function.name
                        and len(node.args) > at and isinstance(node.args[at], ast.Lambda)):
                    found += shown(node.args[at].body, enclosing.get(node), seen)
        return found

    names = set()
    for tree in trees:
        for node in ast.walk(tree):
            if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in ("check", "skip"):
                names.update(shown(node.args[0 if node.func.id == "check" else 1], enclosing.get(node)))
    return sorted(names)
