// The firmware's cost on the Cortex-M0+ it ships on.
//
// Builds two bare-metal images with Debian's arm-none-eabi GCC at -Os, linked
// to run from SRAM with no SDK and no boot ROM:
//  - a minimal image that calls every entry point of the core, to show what
//    the core links: it must not contain the heap, a printf-family function or
//    floating-point formatting, and its text size is kept to a budget;
//  - the cycle image: the core and the board's line writers with a UART made
//    of RAM, running a fixed set of cases between breakpoints.
// The cycle image runs on rp2040js, which counts Cortex-M0+ cycles. The table
// is compared with budget.json; any figure over its budget fails the run.
//
// Usage: node run.mjs [--out DIR] [--verbose]
import { execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync, readdirSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const root = resolve(here, '../..');
const args = process.argv.slice(2);
const out = resolve(args.includes('--out') ? args[args.indexOf('--out') + 1] : join(here, 'out'));
const verbose = args.includes('--verbose');

let RP2040;
try {
    ({ RP2040 } = await import('rp2040js'));
} catch {
    console.error(`rp2040js is not installed in ${here}: run scripts/install-deps (npm ci there)`);
    process.exit(1);
}

const SRAM = 0x20000000;
const STACK_TOP = 0x20040000;
const MAX_CYCLES = 50_000_000;

function tool(name, ...toolArgs) {
    try {
        return execFileSync(`arm-none-eabi-${name}`, toolArgs, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'] });
    } catch {
        console.error(`FAILED: arm-none-eabi-${name} ${toolArgs.join(' ')}`);
        process.exit(1);
    }
}

const cxxflags = [
    '-std=c++20', '-mcpu=cortex-m0plus', '-mthumb', '-Os',
    '-fno-exceptions', '-fno-rtti', '-ffunction-sections', '-fdata-sections',
    '-Wall', '-Wextra', '-Wpedantic', '-Wshadow', '-Wconversion', '-Wsign-conversion', '-Werror',
    '-DCABINET_BOARD_STANDIN',
    `-I${join(root, 'core')}`, `-I${join(root, 'board')}`, `-I${join(here, 'image')}`,
];

function compile(src) {
    const obj = join(out, src.replace(root + '/', '').replace(/[/.]/g, '_') + '.o');
    tool('g++', ...cxxflags, '-c', src, '-o', obj);
    return obj;
}

function link(name, objects) {
    const elf = join(out, `${name}.elf`);
    tool('gcc', '-mcpu=cortex-m0plus', '-mthumb', '-nostartfiles', '--specs=nosys.specs',
        '-T', join(here, 'image', 'sram.ld'), '-Wl,--gc-sections', '-Wl,--no-warn-rwx-segments',
        `-Wl,-Map=${join(out, `${name}.map`)}`, ...objects, '-o', elf);
    return elf;
}

function symbols(elf) {
    const table = new Map();
    for (const line of tool('nm', elf).split('\n')) {
        const m = /^([0-9a-f]+) \w (\S+)$/.exec(line);
        if (m) table.set(m[2], parseInt(m[1], 16));
    }
    return table;
}

// Sizes of the code and constants each object file contributes to an image,
// read from the linker's map file after --gc-sections.
function textByObject(map) {
    const sizes = new Map();
    const body = map.slice(map.indexOf('Linker script and memory map'));
    const re = /^ \.(?:text|rodata)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+(\S+)$/gm;
    for (const m of body.replace(/^( \.\S+)\n\s+/gm, '$1 ').matchAll(re)) {
        sizes.set(m[2], (sizes.get(m[2]) ?? 0) + parseInt(m[1], 16));
    }
    return sizes;
}

// Nothing the firmware links may bring the heap or printf along.
const FORBIDDEN = [
    [/^_?(_malloc_r|malloc|_free_r|free|_realloc_r|realloc|_calloc_r|calloc|_sbrk|_sbrk_r|sbrk)$/, 'the heap'],
    [/printf/, 'a printf-family function'],
    [/dtoa|ftoa|_printf_float|ecvt|fcvt|gcvt|_ldtoa|__aeabi_d2|__aeabi_f2d/, 'floating-point formatting'],
];

function forbidden(elf) {
    const found = [];
    for (const name of symbols(elf).keys()) {
        for (const [re, what] of FORBIDDEN) {
            if (re.test(name)) found.push(`${name} (${what})`);
        }
    }
    return found;
}

function cString(sram, address) {
    let s = '';
    for (let a = address - SRAM; sram[a] !== 0; ++a) s += String.fromCharCode(sram[a]);
    return s;
}

// Runs the cycle image and returns [{name, bytes, cycles, line}] in case order.
function runCycles(elf) {
    const bin = join(out, 'cycles.bin');
    tool('objcopy', '-O', 'binary', elf, bin);
    const image = readFileSync(bin);
    const sym = symbols(elf);
    const mcu = new RP2040();
    mcu.sram.set(image, 0);
    const view = new DataView(mcu.sram.buffer);
    const word = (name) => view.getUint32(sym.get(name) - SRAM, true);

    const core = mcu.core;
    core.SP = STACK_TOP;
    core.PC = sym.get('bench_main') & ~1;

    let stop = null;
    mcu.onBreak = (code) => { stop = code; };

    const results = [];
    let begin = 0;
    while (core.cycles < MAX_CYCLES) {
        core.executeInstruction();
        if (stop === null) continue;
        const code = stop;
        stop = null;
        if (code === 1) {
            begin = core.cycles;
        } else if (code === 2) {
            const tx = cString(mcu.sram, sym.get('bench_tx')).slice(0, word('bench_tx_len'));
            results.push({
                name: cString(mcu.sram, word('bench_case')),
                bytes: word('bench_bytes'),
                cycles: core.cycles - begin - MARKER_CYCLES,
                line: tx,
            });
        } else if (code === 3) {
            return results;
        } else {
            throw new Error(`the bench image stopped: ${cString(mcu.sram, word('bench_failure'))}`);
        }
    }
    throw new Error(`the bench image did not finish within ${MAX_CYCLES} cycles`);
}

// Cycles between the end of "bkpt 1" and the end of "bkpt 2" with nothing in
// between: the one instruction of the second marker.
const MARKER_CYCLES = 1;

mkdirSync(out, { recursive: true });
const budget = JSON.parse(readFileSync(join(here, 'budget.json'), 'utf8'));
const coreSources = readdirSync(join(root, 'core')).filter((f) => f.endsWith('.cpp')).map((f) => join(root, 'core', f));
const coreObjects = coreSources.map(compile);
const failures = [];

// What the core links, alone.
const minimal = link('minimal', [compile(join(here, 'image', 'minimal.cpp')), ...coreObjects]);
const bySource = textByObject(readFileSync(join(out, 'minimal.map'), 'utf8'));
let coreText = 0;
let libText = 0;
for (const [obj, size] of bySource) {
    if (coreObjects.includes(obj)) coreText += size;
    else if (!obj.endsWith('minimal_cpp.o')) libText += size;
}
console.log(`core text after --gc-sections: ${coreText} bytes in the core's objects, `
    + `${coreText + libText} bytes with the library code they link (budget ${budget.core_text_bytes})`);
if (coreText + libText > budget.core_text_bytes) failures.push(`core text ${coreText + libText} > ${budget.core_text_bytes} bytes`);
const minimalBad = forbidden(minimal);
if (minimalBad.length) failures.push(`the core links ${minimalBad.join(', ')}`);

// The cycle cases, with the board's line writers.
const cycleImage = link('cycles', [compile(join(here, 'image', 'cases.cpp')),
    compile(join(root, 'board', 'lines.cpp')), ...coreObjects]);
const cycleBad = forbidden(cycleImage);
if (cycleBad.length) failures.push(`the core and line writers link ${cycleBad.join(', ')}`);
const results = runCycles(cycleImage);

// A writer's own cost is its figure less that of the line writer sending the
// same text (cases.cpp says why).
const WRITER = 'line writer: ';
for (const w of results.filter((r) => r.name.startsWith(WRITER))) {
    results.find((r) => r.name === w.name.slice(WRITER.length)).cycles -= w.cycles;
}

const rows = [['case', 'cycles', 'per byte', 'budget', '']];
for (const r of results) {
    const b = budget.cases[r.name];
    let limit = '-';
    let over = false;
    const perByte = r.bytes ? r.cycles / r.bytes : null;
    if (b === undefined) {
        failures.push(`no budget for "${r.name}"`);
    } else if (b.per_byte !== undefined) {
        limit = `${b.per_byte}/B`;
        over = perByte > b.per_byte;
    } else {
        limit = String(b.cycles);
        over = r.cycles > b.cycles;
    }
    if (over) failures.push(`"${r.name}" over budget`);
    rows.push([r.name, String(r.cycles), perByte === null ? '' : `${perByte.toFixed(1)} (${r.bytes} B)`, limit, over ? 'OVER' : '']);
    if (verbose && r.line) console.log(`${r.name} sent: ${JSON.stringify(r.line)}`);
}
for (const name of Object.keys(budget.cases)) {
    if (!results.some((r) => r.name === name)) failures.push(`budgeted case "${name}" did not run`);
}
const widths = rows[0].map((_, i) => Math.max(...rows.map((r) => r[i].length)));
for (const r of rows) {
    console.log(r.map((c, i) => (i === 0 ? c.padEnd(widths[i]) : c.padStart(widths[i]))).join('  ').trimEnd());
}

if (failures.length) {
    console.error(`\nFAILED:\n  ${failures.join('\n  ')}`);
    process.exit(1);
}
console.log('\nall figures within budget');
