#!/usr/bin/env python3
"""Lists the functions of the given C/C++ files that are longer than a limit.

    scripts/function_length.py LIMIT FILE...

A function body is a top-level brace block that follows a closing
parenthesis (with qualifiers or attribute macros between), counted from its
opening to its closing brace. Comments and string literals are ignored.
Exits 1 when any function is longer than LIMIT lines."""
import re, sys
limit=int(sys.argv[1]); bad=0
for f in sys.argv[2:]:
    src=open(f).read()
    src=re.sub(r'//[^\n]*','',src); src=re.sub(r'/\*.*?\*/',lambda m:'\n'*m.group(0).count('\n'),src,flags=re.S)
    src=re.sub(r'"(\\.|[^"\\])*"','""',src)
    depth=0; stack=[]; line=1
    for i,ch in enumerate(src):
        if ch=='\n': line+=1
        elif ch=='{':
            head=src[max(0,i-300):i]
            isfn=re.search(r'\)\s*(const|noexcept|override|final|[A-Z_]+\([^()]*\)|\s)*$',head) is not None
            stack.append((isfn,line)); 
        elif ch=='}':
            if stack:
                isfn,start=stack.pop()
                outer=[s for s in stack if s[0]]
                if isfn and not outer and line-start+1>limit:
                    print(f"{f}:{start}: function of {line-start+1} lines"); bad=1
sys.exit(bad)
