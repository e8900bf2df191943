// Parses PowerShell scripts with the WebAssembly build of the tree-sitter
// PowerShell grammar (npm tree-sitter-powershell, run by web-tree-sitter),
// which needs no PowerShell (Debian has none; the PowerShell suite checks the
// same scripts with PowerShell's own parser where the .NET SDK is). Prints
// each syntax error and each node the parser had to skip or to make up, then
// "N passed, M failed" over the scripts, and exits 1 when any has an error.
//   node powershell.js NODE_MODULES SCRIPT...
"use strict";
const fs = require("fs");
const path = require("path");

// Every ERROR or MISSING node below node, in document order.
function problems(node, found = []) {
    if (node.type === "ERROR" || node.isMissing) found.push(node);
    else if (node.hasError) for (const child of node.children) problems(child, found);
    return found;
}

async function main() {
    const [modules, ...files] = process.argv.slice(2);
    const { Parser, Language } = require(path.resolve(modules, "web-tree-sitter/tree-sitter.cjs"));
    await Parser.init();
    const parser = new Parser();
    parser.setLanguage(await Language.load(path.resolve(modules, "tree-sitter-powershell/tree-sitter-powershell.wasm")));
    let failed = 0;
    for (const file of files) {
        const tree = parser.parse(fs.readFileSync(file, "utf8"));
        const found = problems(tree.rootNode);
        for (const node of found) {
            const { row, column } = node.startPosition;
            const what = node.isMissing ? `missing ${node.type}` : `cannot parse ${JSON.stringify(node.text.slice(0, 40))}`;
            console.log(`${file}:${row + 1}:${column + 1} ${what}`);
        }
        console.log(`${found.length ? "FAIL" : "ok  "}  ${file}`);
        if (found.length) failed += 1;
    }
    console.log(`${files.length - failed} passed, ${failed} failed`);
    process.exit(failed ? 1 : 0);
}

main().catch((error) => {
    console.error(error);
    process.exit(2);
});
